#include <QApplication>

int runModelTests(int argc, char** argv);
int runViewTests(int argc, char** argv);

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int failures = runModelTests(argc, argv);
    return failures + runViewTests(argc, argv);
}
