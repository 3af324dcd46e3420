// test_velko SUITE [QTest options]: runs one suite of the window's tests.

#include <QApplication>
#include <QTest>
#include <clocale>
#include <cstdio>

#include "velkotest.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    if (argc < 2 || !velkotest::Suites().count(argv[1])) {
        std::fprintf(stderr, "usage: %s SUITE; suites:", argv[0]);
        for (const auto& [strName, fn] : velkotest::Suites()) {
            std::fprintf(stderr, " %s", strName.c_str());
        }
        std::fprintf(stderr, "\n");
        return 2;
    }
    std::unique_ptr<QObject> pSuite = velkotest::Suites()[argv[1]]();
    argv[1] = argv[0];
    return QTest::qExec(pSuite.get(), argc - 1, argv + 1);
}
