// A temporary directory for a test, removed with everything in it when the
// test ends: a place to lay out files like /proc or /sys.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace korvel {

namespace fs = std::filesystem;

class TempTree {
public:
    TempTree()
    {
        std::string tmpl = (fs::temp_directory_path() / "korvel-port-XXXXXX").string();
        root = ::mkdtemp(tmpl.data());
    }
    ~TempTree() { fs::remove_all(root); }
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
