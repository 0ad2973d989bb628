#pragma once

#include <QPrinter>
#include <QStringList>
#include <functional>

#include "app/prompts.h"

// Answers prompts from queues and records each one; a prompt without a queued answer is
// answered No / Cancel and listed in `unexpected`, which a test's cleanup checks.
class FakePrompts : public TPrompts {
public:
    void failure(QWidget* parent, const QString& title, const QString& text) override {
        record(parent, "failure", title + '|' + text);
    }
    bool confirm(QWidget* parent, const QString& title, const QString& text) override {
        record(parent, "confirm", title + '|' + text);
        if (beforeAnswer)
            beforeAnswer();
        return next("confirm") == 1;
    }
    int chooseCapacity(QWidget* parent) override { return record(parent, "capacity"), next(); }
    QString saveFileName(QWidget* parent, const QString& caption, const QString&) override {
        return record(parent, "file"), file(caption);
    }
    bool runPrintDialog(QWidget* parent, QPrinter& printer, const QString& title) override {
        record(parent, "print");
        const QString pdf = file(title);
        if (pdf.isEmpty()) {
            return false;  // cancelled
        }
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        return true;
    }

    QList<int> answers;  // confirm: 1 Yes, 0 No; capacity: mode or -1
    QStringList files;   // save and print: file names; an empty one cancels
    QStringList kinds;
    QStringList boxes;  // "title|text" of every box and question
    QString last;       // the last of them
    QList<QWidget*> parents;
    QStringList unexpected;
    std::function<void()> beforeAnswer;  // runs while a question is open

private:
    void record(QWidget* parent, const char* kind, const QString& box = {}) {
        parents << parent;
        kinds << QLatin1String(kind);
        if (!box.isNull()) {
            boxes << box;
            last = box;
        }
    }
    int next(const char* what = "capacity") {
        if (answers.isEmpty()) {
            unexpected << QLatin1String(what);
            return -1;
        }
        return answers.takeFirst();
    }
    QString file(const QString& what) {
        if (files.isEmpty()) {
            unexpected << what;
            return {};
        }
        return files.takeFirst();
    }
};
