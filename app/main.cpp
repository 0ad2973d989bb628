#include "app/entry.h"
#include "app/singleinstance.h"

#include <QCommandLineParser>
#include <QCoreApplication>

int main(int argc, char** argv) {
    if (drl_entry::isInfoRequest(argc, argv)) {
        QCommandLineParser parser;
        parser.setApplicationDescription(QCoreApplication::translate(
            "main", "Manages Corvane RAID enclosures and forensic disk bridges."));
        drl_entry::answerInfoRequest(argc, argv, parser);
    }
    TSingleInstanceApp app(argc, argv, drl_entry::kInstanceKey);
    return drl_entry::run(app, drl_entry::kProductName, {}, drl_entry::chooseSystemPlatform);
}
