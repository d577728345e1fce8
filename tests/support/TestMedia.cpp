#include "support/TestMedia.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <cstring>

#include <unistd.h>

#include <gtest/gtest.h>

namespace Quillet::Testing {

int Run(const std::string& command)
{
    return std::system(command.c_str());
}

std::string Capture(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

std::string MakeFile(const std::string& name, const std::function<void(const std::string&)>& make)
{
    if (std::filesystem::exists(name))
        return name;
    const std::string partial = "partial-" + std::to_string(getpid()) + "-" + name;
    make(partial);
    if (!std::filesystem::exists(partial)) {
        ADD_FAILURE() << "Could not make " << name; // the command or step is in the log above
        return name;
    }
    // Test processes running side by side may make the same file; the first
    // one stays. An encoder with threads need not give the same bytes twice,
    // and a test that read the file must find those bytes again.
    if (::link(partial.c_str(), name.c_str()) != 0 && errno != EEXIST)
        ADD_FAILURE() << "Could not make " << name << ": " << std::strerror(errno);
    std::filesystem::remove(partial);
    return name;
}

std::string MakeClip(const std::string& name, const std::string& ffmpegArgs)
{
    return MakeFile(name, [&](const std::string& partial) {
        const std::string command = "ffmpeg -nostdin -v error -y " + ffmpegArgs + " " + partial;
        if (Run(command) != 0)
            std::filesystem::remove(partial);
    });
}

std::string FreshFolder(const std::string& stem)
{
    const std::string folder = stem + "_" + std::to_string(getpid());
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

std::string FolderListing(const std::string& folder)
{
    std::string all;
    for (const auto& f : std::filesystem::directory_iterator(folder))
        all += " " + f.path().filename().string() + " (" + std::to_string(f.file_size()) + ")";
    return all;
}

long ResidentKilobytes()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

AVInputContextPtr OpenInput(const std::string& path)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        throw std::runtime_error("cannot open " + path);
    AVInputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        throw std::runtime_error("cannot read stream info of " + path);
    return input;
}

} // namespace Quillet::Testing
