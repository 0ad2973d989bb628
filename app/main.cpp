#include "app/entry.h"
#include "app/singleinstance.h"

int main(int argc, char** argv) {
    TSingleInstanceApp app(argc, argv, drl_entry::kInstanceKey);
    return drl_entry::run(app, drl_entry::kProductName);
}
