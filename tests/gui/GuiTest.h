// QtTest classes of the monitor window, run by one program: each class
// registers itself by name, and the program runs the one named by its
// first argument (all of them without one).
#pragma once
#include <QObject>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "gui/CqzrZUVEApp.h"

using GuiTestFactory = std::function<QObject*()>;
std::map<std::string, GuiTestFactory>& GuiTests();

inline bool GuiRegister(const char* name, GuiTestFactory factory)
{
    GuiTests()[name] = std::move(factory);
    return true;
}
#define GUI_TEST(Class) static const bool Class##_registered = GuiRegister(#Class, [] { return new Class; })

// A program object started as argv[0] with these arguments.
class GuiProgram {
public:
    explicit GuiProgram(std::vector<std::string> args) : args_(std::move(args))
    {
        for (std::string& a : args_)
            argv_.push_back(a.data());
        argv_.push_back(nullptr);
        app_ = std::make_unique<CqzrZUVEApp>(int(args_.size()), argv_.data());
    }
    CqzrZUVEApp& operator*() { return *app_; }
    CqzrZUVEApp* operator->() { return app_.get(); }

private:
    std::vector<std::string> args_;
    std::vector<char*> argv_;
    std::unique_ptr<CqzrZUVEApp> app_;
};
