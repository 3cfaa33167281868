// A fresh directory under /tmp for one test, removed with everything in it
// when the test ends.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "runtime/XKWResource.h"

class TempDir {
public:
    explicit TempDir(const char* prefix)
    {
        std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
        if (mkdtemp(tmpl.data()) != nullptr)
            path_ = tmpl;
        EXPECT_FALSE(path_.empty()) << "cannot make a directory " << tmpl;
    }
    ~TempDir()
    {
        if (path_.empty())
            return;
        // Queue and trace files come with a named mutex that outlives the
        // process; take those of our files away with them.
        std::error_code ec;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ec))
            if (entry.is_regular_file(ec))
                XKWResourceRemove(entry.path().c_str());
        std::system(("rm -rf '" + path_ + "'").c_str());
        // Shared-memory queues and the mutexes of vanished files live in
        // /dev/shm under names that hold our path with '_' for '/'.
        std::string mangled = path_ + "/";
        for (char& c : mangled)
            if (c == '/')
                c = '_';
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
            if (entry.path().filename().string().find(mangled) != std::string::npos)
                std::filesystem::remove(entry.path(), ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole contents of a file ("" when it cannot be read).
inline std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
