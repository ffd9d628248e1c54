// An .npz archive (a zip of .npy arrays, stored uncompressed, as numpy.savez writes it) written
// front to back while one of its arrays, a table of rows of doubles, grows: for a recording
// that streams to disk. Finishing it rewrites a few bytes at the growing array's head (its
// shape, its size and checksum), so it takes the same short time whatever the rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "platform/files.h"

namespace Zelkor::HardwareAPI::Control {

/// One small array of an archive, whole: its name (without ".npy") and its .npy bytes.
struct NpyMember {
    std::string name;
    std::string bytes;
};

/// A 0-d array holding `text` (numpy's '<U' strings: UTF-32, here of ASCII text).
NpyMember npy_text(const std::string& name, const std::string& text);
/// A 0-d int64 array holding `value`.
NpyMember npy_int64(const std::string& name, std::int64_t value);

/// CRC-32 (the zip archive's) of `size` bytes, continuing from `crc` (0 to begin).
std::uint32_t crc32(std::uint32_t crc, const void* bytes, std::size_t size) noexcept;
/// The CRC-32 of A followed by B, from the CRC-32s of A and of B and B's length.
std::uint32_t crc32_combine(std::uint32_t a, std::uint32_t b, std::uint64_t b_size) noexcept;

/// The archive: the small arrays given to open(), then the growing array of rows, then those
/// given to finish(), then the zip index. Until finish() the file holds no index, but every
/// member before the rows is whole and the rows are in place, in order (a reader can take
/// the whole rows of a file cut short). Zip64, so the rows may pass 4 GiB. Not synchronised:
/// one thread at a time. Each call returns nothing on success, otherwise the system's error;
/// after a failure only cut_back() and finish() may still succeed.
class NpzStream {
  public:
    /// Creates the file at `path` (or empties it) and writes `head`, then the growing array
    /// `rows_name`'s head: rows of `width` doubles (1 to 4096), none yet.
    std::error_code open(const std::string& path, const std::vector<NpyMember>& head,
                         const std::string& rows_name, std::size_t width);
    /// Appends `count` rows of width() doubles.
    std::error_code append(const double* rows, std::size_t count) noexcept;
    /// After an append that failed: cuts the file back to whole rows, as many as leave
    /// `room` bytes free before where the failed append began (so that on a full disk the
    /// rows let go make room for finish()), at most the last 32 appends' rows. The rows
    /// before stay.
    std::error_code cut_back(std::uint64_t room = 0) noexcept;
    /// Writes `tail`, the rows' shape and checksum into their head, and the index; the
    /// archive is then whole and the file closed (whatever the outcome).
    std::error_code finish(const std::vector<NpyMember>& tail);

    /// Rows appended so far (those of an append that failed excluded).
    std::uint64_t rows() const noexcept { return rows_; }
    std::size_t width() const noexcept { return width_; }
    bool is_open() const noexcept { return file_.is_open(); }

  private:
    struct Entry {
        std::string name;  // with ".npy"
        std::uint32_t crc = 0;
        std::uint64_t size = 0;
        std::uint64_t offset = 0;  // of its local header
        bool zip64 = false;        // sizes in the zip64 extra field
    };

    std::error_code put(const std::string& bytes) noexcept;
    std::error_code add_member(const NpyMember& member);
    std::string rows_header() const;
    std::string index() const;

    platform::OutputFile file_;
    std::uint64_t end_ = 0;  // bytes written
    std::vector<Entry> entries_;
    std::size_t width_ = 0;
    std::size_t rows_entry_ = 0;   // entries_[rows_entry_] is the growing array
    std::uint64_t rows_data_ = 0;  // offset of the rows' first double
    std::uint64_t rows_ = 0;
    std::uint32_t rows_crc_ = 0;  // of the doubles appended
    // The rows and their checksum after each of the last appends, for cut_back().
    struct Mark {
        std::uint64_t rows = 0;
        std::uint32_t crc = 0;
    };
    static constexpr std::size_t mark_count = 32;
    std::array<Mark, mark_count> marks_{};
    std::uint64_t appends_ = 0;
};

}  // namespace Zelkor::HardwareAPI::Control
