// A ring of rows of doubles, filled by one thread (a real-time loop) and copied out by any
// other while it runs: no allocation, no lock and no blocking on either side.
#pragma once

#include <ZelkorHardwareAPI/export.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Zelkor::HardwareAPI::Control {

/// The most bytes one recording's ring may take: a quarter of the memory this process may
/// use (physical memory, or less where the system caps the process), so that the ring and the
/// copies a reader makes of it (its rows, then their columns) fit together. 0 when the system
/// does not say how much memory there is (no limit then).
ZELKOR_API std::uint64_t recording_memory_limit() noexcept;

/// Bytes as a reader takes them in at a glance: "1,680,000,168 bytes (1.68 GB)".
ZELKOR_API std::string bytes_text(std::uint64_t bytes);

/// Rows of `width` doubles in a ring of `capacity` rows, made once. One writer appends a row at
/// a time; readers copy the rows held (the latest `capacity` ones) at any moment. Every value
/// is an atomic double read and written relaxed, so a row the writer is overwriting while a
/// reader copies it is never a data race: the reader drops such rows (see copy()).
class ZELKOR_API RowRing {
  public:
    /// Allocates the ring. Throws std::invalid_argument, before allocating anything, for a width
    /// of 0 or more than 64, a capacity of 0, more than 2^32 values, or more bytes than
    /// recording_memory_limit() (the message says how many it would take).
    RowRing(std::size_t width, std::size_t capacity);
    ~RowRing();
    RowRing(const RowRing&) = delete;
    RowRing& operator=(const RowRing&) = delete;

    std::size_t width() const noexcept { return width_; }
    std::size_t capacity() const noexcept { return capacity_; }

    /// The writer's row to fill: the next one, overwriting the oldest once the ring is full.
    /// Fill it with set() (or through row()), then append().
    void set(std::size_t column, double value) noexcept {
        row_[column].store(value, std::memory_order_relaxed);
    }
    /// The same row, for a writer that fills many columns: store relaxed into row()[column].
    std::atomic<double>* row() noexcept { return row_; }
    /// Makes the row filled with set() the newest. Writer only.
    void append() noexcept;
    /// Forgets every row. Only while no writer runs.
    void clear() noexcept;

    /// Rows appended since clear(); those beyond capacity() were overwritten.
    std::uint64_t appended() const noexcept { return appended_.load(std::memory_order_acquire); }

    /// Copies the rows held, oldest first, into `out` (room for capacity() rows of width()
    /// doubles), from any thread while the writer goes on. Rows the writer overwrote during
    /// the copy are left out. Returns the number of rows copied and sets `first` to the
    /// appended() index of the first of them (rows before it were overwritten).
    std::size_t copy(double* out, std::uint64_t& first) const noexcept;
    /// Copies at most `most` rows from the appended() index `from` on, oldest first, into `out`
    /// (room for `most` rows), from any thread while the writer goes on: for a reader that
    /// takes every row once. Returns the rows copied and sets `first` to the index of the first
    /// of them; `first` is beyond `from` when the writer overwrote rows before they could be
    /// copied (they are lost to this reader).
    std::size_t copy_from(std::uint64_t from, double* out, std::size_t most,
                          std::uint64_t& first) const noexcept;

  private:
    std::size_t width_;
    std::size_t capacity_;
    std::unique_ptr<std::atomic<double>[]> values_;
    std::atomic<double>* row_;  // the writer's next row
    std::atomic<std::uint64_t> appended_{0};
};

}  // namespace Zelkor::HardwareAPI::Control
