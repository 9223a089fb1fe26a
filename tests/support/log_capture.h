// Captures what the driver writes to its diagnostic log during a test: turns
// the log on into a fresh device root and hands back the messages written.
#ifndef MUX_TESTS_LOG_CAPTURE_H
#define MUX_TESTS_LOG_CAPTURE_H

#include <string>
#include <vector>

class LogCapture {
public:
    // Closes a log file left open by an earlier test, points the device root
    // at a new temporary directory and sets the log switch to 1.
    LogCapture();
    // Closes the log file and turns the log off again.
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The whole file as UTF-8, banner and time stamps included.
    std::string Raw() const;
    // The messages in the order written, each without its leading
    // "MM/DD,hh:mm:ss:" stamp and without the banner.
    std::vector<std::string> Messages() const;
    // Messages that contain `needle`.
    std::vector<std::string> Matching(const std::string& needle) const;
    // Forgets everything logged so far (the file is truncated).
    void Clear();

    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
    std::string path_;
};

#endif
