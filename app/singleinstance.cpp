#include "app/singleinstance.h"

#include <sys/stat.h>
#include <unistd.h>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>

namespace {

const QByteArray kRaise = "raise\n";
const QByteArray kRaised = "raised\n";
constexpr int kRaiseBudgetMs = 4000;

// Without a runtime folder, a folder of the temporary one that only this user can write:
// a lock anybody could plant there would keep the window from starting.
QString privateFolder() {
    const QString dir = QDir::tempPath() + QLatin1String("/drivelore-") + QString::number(getuid());
    const QByteArray path = QFile::encodeName(dir);
    ::mkdir(path.constData(), 0700);
    struct stat st;
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 077) != 0)
        return {};
    return dir;
}

}  // namespace

QString TSingleInstanceApp::channelBase(const QString& key) {
    // One instance per user and login session, as a logon session bounds it elsewhere.
    QString name = key + QLatin1Char('-') + QString::number(getuid());
    const QByteArray session = qgetenv("XDG_SESSION_ID");
    if (!session.isEmpty())
        name += QLatin1Char('-') + QString::fromLocal8Bit(session);
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = privateFolder();
    if (dir.isEmpty())
        return {};
    // A socket path must fit in sun_path (108 bytes).
    QString base = dir + QLatin1Char('/') + name;
    if (base.toLocal8Bit().size() + 6 > 100) {
        const QByteArray hash =
            QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
        base = dir + QLatin1String("/drl-") + QString::fromLatin1(hash);
    }
    return base;
}

TSingleInstanceApp::TSingleInstanceApp(int& argc, char** argv, const char* key)
    : QApplication(argc, argv) {
    const QString base = channelBase(QString::fromLatin1(key));
    if (base.isEmpty()) {
        problem_ = tr("No private folder for the single-instance lock (%1/drivelore-%2 is not "
                      "this user's alone); running without it.")
                       .arg(QDir::tempPath())
                       .arg(getuid());
        return;
    }
    socketPath_ = base + QLatin1String(".sock");
    lock_ = new QLockFile(base + QLatin1String(".lock"));
    // Never stale by age: only a lock whose process is gone is taken over.
    lock_->setStaleLockTime(0);
    bool locked = lock_->tryLock(0);
    if (!locked && lock_->error() == QLockFile::LockFailedError && lock_->removeStaleLockFile())
        locked = lock_->tryLock(0);
    if (!locked) {
        // Another instance holds it; a lock that cannot be made at all (no runtime folder)
        // lets this process run as the first.
        running_ = lock_->error() == QLockFile::LockFailedError;
        return;
    }
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(socketPath_);
    if (server_->listen(socketPath_))
        connect(server_, &QLocalServer::newConnection, this, &TSingleInstanceApp::serveRaise);
}

TSingleInstanceApp::~TSingleInstanceApp() {
    if (server_)
        server_->close();
    delete server_;
    server_ = nullptr;
    delete lock_;  // unlocks when held
}

void TSingleInstanceApp::serveRaise() {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
            if (!peer->canReadLine()) {
                if (peer->bytesAvailable() > 64)
                    peer->abort();
                return;
            }
            const QByteArray line = peer->readLine(64);
            if (line == kRaise) {
                emit raiseMainWindow();
                peer->write(kRaised);
                peer->flush();
            }
            peer->disconnectFromServer();
        });
    }
}

void TSingleInstanceApp::raiseRunningInstance() {
    QDeadlineTimer deadline(kRaiseBudgetMs);
    // The first instance may hold the lock and not listen yet: try until the budget ends.
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(int(deadline.remainingTime()))) {
            socket.write(kRaise);
            // A hung first instance never answers: the deadline ends the wait.
            if (socket.waitForBytesWritten(int(deadline.remainingTime())))
                socket.waitForReadyRead(int(deadline.remainingTime()));
            socket.abort();
            return;
        }
        QThread::msleep(std::min<qint64>(100, deadline.remainingTime()));
    }
}

bool TSingleInstanceApp::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception&) {
        if (!pending_)
            pending_ = std::current_exception();
        exit(1);
        return false;
    }
}

void TSingleInstanceApp::rethrowPending() {
    if (std::exception_ptr e = std::exchange(pending_, nullptr))
        std::rethrow_exception(e);
}

TSingleInstanceWindow::TSingleInstanceWindow(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags) {
    if (auto* app = qobject_cast<TSingleInstanceApp*>(QCoreApplication::instance()))
        connect(app, &TSingleInstanceApp::raiseMainWindow, this,
                &TSingleInstanceWindow::raiseMainWindow);
}

void TSingleInstanceWindow::raiseMainWindow() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}
