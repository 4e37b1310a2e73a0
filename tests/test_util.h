// Scratch files for tests: a private directory removed with everything in it.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/velmora-test.XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~ScratchDir()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }

    std::string write(const std::string &name, const std::string &content) const
    {
        std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

    std::string read(const std::string &name) const
    {
        std::ifstream in(path_ + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string path_;
};
