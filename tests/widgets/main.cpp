#include <QApplication>

int runModelTests(int argc, char** argv);

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return runModelTests(argc, argv);
}
