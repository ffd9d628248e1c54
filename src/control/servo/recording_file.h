// A servo's recording streamed to an .npz file while the loop runs: a thread of its own takes
// the rows the recording's ring holds every few tens of milliseconds and appends them to the
// file. The loop's thread does nothing more than for a recording in memory (it writes rows
// into the ring), so streaming allocates nothing and writes no file in the loop.
#pragma once

#include <ZelkorHardwareAPI/control/recorder.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "control/background_thread.h"
#include "control/npz_stream.h"

namespace Zelkor::HardwareAPI::Control::servo {

/// One file a servo's runs stream to, each run afresh. Its thread has one owner, this object;
/// begin() and end() come from the servo's start() and stop(), never from the thread.
class RecordingFile {
  public:
    /// How often the thread takes the rows the ring holds: the ring must hold more than this.
    static constexpr double period_s = 0.05;

    /// `layout`: the stored row's layout ("time:1,cycle:1,..."), written into the file.
    RecordingFile(std::string path, std::string layout);
    ~RecordingFile();
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    const std::string& path() const noexcept { return path_; }
    /// True while a run streams (from begin() until the thread has finished the file).
    bool streaming() const noexcept { return thread_.running(); }

    /// Empties the file and writes its head, then starts the thread that appends the rows
    /// `ring` takes until `done()` is true (the loop ended by itself) or end(). The last
    /// run's thread is ended first. Throws std::system_error naming the file when it cannot
    /// be written.
    void begin(std::shared_ptr<const RowRing> ring, std::function<bool()> done);
    /// Takes the last rows, finishes the file and ends the thread; nothing to do when none
    /// runs. Call after the loop's thread ended, so that its every row is taken.
    void end() noexcept;

    /// After end(): what stopped the writing, if anything (the rows before it are in the
    /// file), and the rows the ring overwrote before they could be taken (gaps in `cycle`).
    std::error_code error() const noexcept { return error_; }
    std::uint64_t lost() const noexcept { return lost_; }
    std::uint64_t rows() const noexcept { return file_.rows(); }

  private:
    void run() noexcept;
    void take() noexcept;
    void finish() noexcept;

    const std::string path_;
    const std::string layout_;
    BackgroundThread thread_;
    // The thread's own while it runs; read by others only after end().
    NpzStream file_;
    std::shared_ptr<const RowRing> ring_;
    std::function<bool()> done_;
    std::vector<double> chunk_;  // made by begin()
    std::uint64_t next_ = 0;     // the ring's index of the next row to take
    std::uint64_t lost_ = 0;
    std::error_code error_;
};

}  // namespace Zelkor::HardwareAPI::Control::servo
