// Runs the registered QtTest classes: "gui_tests [Class [QtTest options]]".
#include <QApplication>
#include <QtTest>
#include <cstdio>
#include <memory>

#include "tests/gui/GuiTest.h"

std::map<std::string, GuiTestFactory>& GuiTests()
{
    static std::map<std::string, GuiTestFactory> tests;
    return tests;
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    std::vector<char*> rest{argv[0]};
    std::string only;
    if (argc > 1 && argv[1][0] != '-')
        only = argv[1];
    for (int i = only.empty() ? 1 : 2; i < argc; ++i)
        rest.push_back(argv[i]);
    int failed = 0, run = 0;
    for (auto& [name, factory] : GuiTests()) {
        if (!only.empty() && name != only)
            continue;
        std::unique_ptr<QObject> test(factory());
        failed += QTest::qExec(test.get(), int(rest.size()), rest.data());
        ++run;
    }
    if (run == 0) {
        std::fprintf(stderr, "no test class %s\n", only.c_str());
        return 1;
    }
    return failed == 0 ? 0 : 1;
}
