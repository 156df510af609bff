// A temporary directory for one test, removed with everything in it when
// the test ends: a place to lay out files like /proc or /sys, or to keep a
// simulated board's state file, its lock and the logs of a process test.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace korvel {

namespace fs = std::filesystem;

class TempTree {
public:
    explicit TempTree(const std::string& prefix = "korvel-test")
    {
        std::error_code ec;
        std::string tmpl = (fs::temp_directory_path(ec) / (prefix + "-XXXXXX")).string();
        if (!ec && ::mkdtemp(tmpl.data()))
            root = tmpl;
    }
    ~TempTree()
    {
        std::error_code ec;
        if (!root.empty())
            fs::remove_all(root, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // Whether the directory could be made.
    bool ok() const { return !root.empty(); }
    std::string dir() const { return root.string(); }
    std::string path(const std::string& rel) const { return (root / rel).string(); }

    void write(const std::string& rel, const std::string& text) const
    {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << text;
    }
    void link(const std::string& rel, const std::string& target) const
    {
        fs::create_directories((root / rel).parent_path());
        fs::create_symlink(target, root / rel);
    }
    void mkdir(const std::string& rel) const { fs::create_directories(root / rel); }
    fs::path root;
};

} // namespace korvel
