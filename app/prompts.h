#pragma once

#include <QString>

class QPrinter;
class QWidget;

// Every message box, question, file and print dialog of the windows goes through the
// current prompts, so that tests answer them without a person. current() is the Qt one
// unless a test installed another.
struct TPrompts {
    virtual ~TPrompts() = default;
    // A critical box with one OK button; a null parent is allowed ("Unexpected Error").
    virtual void failure(QWidget* parent, const QString& title, const QString& text) = 0;
    // Yes or No, No being the default; true for Yes.
    virtual bool confirm(QWidget* parent, const QString& title, const QString& text) = 0;
    // The RAID capacity choice: the capacityMode chosen (0..2), -1 when cancelled.
    virtual int chooseCapacity(QWidget* parent) = 0;
    // A file to save to; empty when cancelled.
    virtual QString saveFileName(QWidget* parent, const QString& caption,
                                 const QString& filter) = 0;
    // True when the user accepted the print dialog (the printer then holds the choice).
    virtual bool runPrintDialog(QWidget* parent, QPrinter& printer, const QString& title) = 0;

    static TPrompts& current();
    // Not owned; null puts the Qt prompts back.
    static void install(TPrompts* prompts);
};

// The prompts users see: message boxes, the capacity dialog, file and print dialogs.
class QtPrompts : public TPrompts {
public:
    void failure(QWidget* parent, const QString& title, const QString& text) override;
    bool confirm(QWidget* parent, const QString& title, const QString& text) override;
    int chooseCapacity(QWidget* parent) override;
    QString saveFileName(QWidget* parent, const QString& caption, const QString& filter) override;
    bool runPrintDialog(QWidget* parent, QPrinter& printer, const QString& title) override;
};
