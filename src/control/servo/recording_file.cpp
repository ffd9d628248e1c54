#include "control/servo/recording_file.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace Zelkor::HardwareAPI::Control::servo {

namespace {
// Rows taken from the ring at a time: 8192 rows of a servo's 33 doubles are 2.2 MB.
constexpr std::size_t chunk_rows = 8192;
// What a failed write lets go of at the end of the rows (the last whole rows, block-sized
// and more), so that on a full disk the file's end and index (well under 1 KiB) still fit.
constexpr std::uint64_t index_room = 16384;
}  // namespace

RecordingFile::RecordingFile(std::string path, std::string layout)
    : path_(std::move(path)), layout_(std::move(layout)) {}

RecordingFile::~RecordingFile() {
    end();
}

void RecordingFile::begin(std::shared_ptr<const RowRing> ring, std::function<bool()> done) {
    thread_.stop();  // the last run's, once it finished its file
    chunk_.assign(std::min(chunk_rows, ring->capacity()) * ring->width(), 0.0);
    ring_ = std::move(ring);
    done_ = std::move(done);
    next_ = 0;
    lost_ = 0;
    error_ = {};
    const std::vector<NpyMember> head{npy_text("kind", "servo"), npy_text("layout", layout_)};
    if (std::error_code e = file_.open(path_, head, "rows", ring_->width())) {
        file_ = NpzStream();  // closed
        throw std::system_error(e, "cannot write the recording to '" + path_ + "'");
    }
    try {
        thread_.start([this] { run(); });
    } catch (...) {
        finish();
        throw;
    }
}

void RecordingFile::end() noexcept {
    thread_.stop();
}

void RecordingFile::run() noexcept {
    const auto period = std::chrono::duration_cast<BackgroundThread::Clock::duration>(
        std::chrono::duration<double>(period_s));
    for (;;) {
        take();
        // The loop's last rows are in the ring before `done` or stop() says it ended.
        if (done_() || !thread_.sleep_until(BackgroundThread::Clock::now() + period)) break;
    }
    take();
    finish();
}

void RecordingFile::take() noexcept {
    const std::size_t most = chunk_.size() / ring_->width();
    while (!error_ && next_ < ring_->appended()) {
        std::uint64_t first = 0;
        const std::size_t n = ring_->copy_from(next_, chunk_.data(), most, first);
        lost_ += first - next_;
        next_ = first + n;
        if (n == 0) continue;  // every row it tried was overwritten meanwhile
        if (std::error_code e = file_.append(chunk_.data(), n)) {
            error_ = e;
            (void)file_.cut_back(index_room);  // the whole rows before stay
        }
    }
}

void RecordingFile::finish() noexcept {
    try {
        const std::error_code e = file_.finish(
            {npy_int64("overwritten", 0), npy_int64("lost", static_cast<std::int64_t>(lost_))});
        if (!error_) error_ = e;
    } catch (...) {
        if (!error_) error_ = std::make_error_code(std::errc::not_enough_memory);
    }
}

}  // namespace Zelkor::HardwareAPI::Control::servo
