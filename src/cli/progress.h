// A one-line progress display on a terminal while a long call runs: what is being done and
// the seconds passed out of those expected. It clears its line when it ends.
#pragma once

#include <condition_variable>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>

namespace merel::cli {

class Progress {
  public:
    // Shows nothing when `enabled` is false.
    Progress(std::ostream& out, bool enabled, std::string what, int expectedSeconds);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

  private:
    void Show();

    std::ostream& out_;
    std::string what_;
    int expectedSeconds_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace merel::cli
