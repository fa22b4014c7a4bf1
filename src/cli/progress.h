// A one-line progress display on a terminal while a command's calls run: what is being done
// and the seconds it has taken. It clears its line when it ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>

namespace merel::cli {

class Progress {
  public:
    // Shows nothing when `enabled` is false, and nothing until the first Step.
    Progress(std::ostream& out, bool enabled);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // What is being done from now on, and the seconds it usually takes (0: no estimate; the
    // line then appears only after a second, since quick steps need none). A `later` text
    // takes the line's place once the step has run `laterFrom` seconds: what it then waits for.
    void Step(std::string what, int expectedSeconds, std::string later = {}, int laterFrom = 0);

  private:
    void Show();

    std::ostream& out_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string what_, later_;
    int expectedSeconds_ = 0, laterFrom_ = 0;
    std::chrono::steady_clock::time_point stepStart_;
    bool changed_ = false;
    bool done_ = false;
    std::thread thread_;
};

// The line for a step that has taken `seconds`: "sending... 3 s of about 5 s".
std::string ProgressLine(const std::string& what, int expectedSeconds, long long seconds);
// The same for a step with a `later` text from `laterFrom` seconds on (none when empty).
std::string ProgressLine(const std::string& what, int expectedSeconds, const std::string& later,
                         int laterFrom, long long seconds);

}  // namespace merel::cli
