// A folder of its own under the temporary directory for one test, removed
// with everything in it (board state files, their locks, logs) at the end.
#pragma once

#include <filesystem>
#include <stdlib.h>
#include <string>
#include <system_error>

namespace korvel::test {

class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "korvel-test")
    {
        std::error_code ec;
        std::string tmpl =
            (std::filesystem::temp_directory_path(ec) / (prefix + "-XXXXXX")).string();
        if (!ec && ::mkdtemp(tmpl.data()))
            dir_ = tmpl;
    }
    ~ScratchDir()
    {
        std::error_code ec;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !dir_.empty(); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

} // namespace korvel::test
