#pragma once

#include <QApplication>
#include <QMainWindow>
#include <QString>
#include <exception>

class QLocalServer;
class QLockFile;

// The application object of a program that runs once per user and login session. The
// first process holds a lock file and listens on a local socket, both named after the
// instance key in the user's runtime folder; a later one finds the lock taken and asks the
// first, through the socket, to bring its window forward.
class TSingleInstanceApp : public QApplication {
    Q_OBJECT

public:
    TSingleInstanceApp(int& argc, char** argv, const char* key);
    ~TSingleInstanceApp() override;

    bool isRunning() const { return running_; }
    // Why this process runs without the single-instance guard; empty when it has it.
    QString problem() const { return problem_; }
    // Asks the first instance to raise its window; returns within about four seconds even
    // when that instance does not answer.
    void raiseRunningInstance();

    // A std::exception thrown while an event was delivered ends the event loops with 1;
    // rethrowPending() throws it again where the program's guarded block catches it.
    bool notify(QObject* receiver, QEvent* event) override;
    void rethrowPending();

    // Where the lock and the socket live, without their extensions; empty when no folder
    // only this user can write is to be had.
    static QString channelBase(const QString& key);

signals:
    void raiseMainWindow();

private:
    void serveRaise();

    QString socketPath_;
    QLockFile* lock_ = nullptr;
    QLocalServer* server_ = nullptr;
    bool running_ = false;
    QString problem_;
    std::exception_ptr pending_;
};

// The base of the main window: it comes forward when the application object asks.
class TSingleInstanceWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit TSingleInstanceWindow(QWidget* parent = nullptr,
                                   Qt::WindowFlags flags = Qt::WindowFlags());

public slots:
    void raiseMainWindow();
};
