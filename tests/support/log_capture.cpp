#include "log_capture.h"

#include "diag/log.h"
#include "platform/host.h"
#include "sim_world.h"

#include <fstream>
#include <regex>

static void CloseLogFile()
{
    if (g_hLogFile != INVALID_HANDLE_VALUE && g_hLogFile != NULL) {
        CloseHandle(g_hLogFile);
    }
    g_hLogFile = INVALID_HANDLE_VALUE;
}

LogCapture::LogCapture()
{
    CloseLogFile();
    dir_ = MakeTempDir("muxlog");
    plat::SetDeviceRoot(dir_);
    path_ = plat::HostPathFor(u"\\MuxLog.txt");
    g_logSwitch = 1;
}

LogCapture::~LogCapture()
{
    CloseLogFile();
    g_logSwitch = 0;
}

std::string LogCapture::Raw() const
{
    return ReadUtf16File(path_);
}

std::vector<std::string> LogCapture::Messages() const
{
    static const std::regex stamp("[0-9]{2}/[0-9]{2},[0-9]{2}:[0-9]{2}:[0-9]{2}:");
    const std::string text = Raw();
    std::vector<std::string> out;
    auto it = std::sregex_iterator(text.begin(), text.end(), stamp);
    const auto end = std::sregex_iterator();
    while (it != end) {
        size_t from = it->position() + it->length();
        ++it;
        size_t to = it == end ? text.size() : static_cast<size_t>(it->position());
        out.push_back(text.substr(from, to - from));
    }
    return out;
}

std::vector<std::string> LogCapture::Matching(const std::string& needle) const
{
    std::vector<std::string> out;
    for (const auto& m : Messages()) {
        if (m.find(needle) != std::string::npos) out.push_back(m);
    }
    return out;
}

void LogCapture::Clear()
{
    CloseLogFile();
    std::ofstream(path_, std::ios::binary | std::ios::trunc);
}
