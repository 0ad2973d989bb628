#pragma once

#include <QPrinter>
#include <QStringList>
#include <functional>

#include "app/prompts.h"

// Answers questions from a queue and records each one; a prompt without a queued answer is
// answered No / Cancel and listed in `unexpected`, which a test's cleanup checks.
class FakePrompts : public TPrompts {
public:
    void failure(QWidget*, const QString& title, const QString& text) override {
        record("failure", title + '|' + text);
    }
    bool confirm(QWidget*, const QString& title, const QString& text) override {
        record("confirm", title + '|' + text);
        if (beforeAnswer)
            beforeAnswer();
        return next("confirm") == 1;
    }
    int chooseCapacity(QWidget*) override { return record("capacity"), next("capacity"); }
    // No test here picks a file: asked for one, it cancels.
    QString saveFileName(QWidget*, const QString& caption, const QString&) override {
        record("file");
        return unexpected << caption, QString();
    }
    bool runPrintDialog(QWidget*, QPrinter&, const QString& title) override {
        record("print");
        return unexpected << title, false;
    }

    QList<int> answers;  // confirm: 1 Yes, 0 No; capacity: mode or -1
    QStringList kinds;
    QStringList boxes;  // "title|text" of every box and question
    QString last;       // the last of them
    QStringList unexpected;
    std::function<void()> beforeAnswer;  // runs while a question is open

private:
    void record(const char* kind, const QString& box = {}) {
        kinds << QLatin1String(kind);
        if (!box.isNull())
            boxes << (last = box);
    }
    int next(const char* what) {
        if (answers.isEmpty())
            return unexpected << QLatin1String(what), -1;
        return answers.takeFirst();
    }
};
