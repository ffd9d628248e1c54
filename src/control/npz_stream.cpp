#include "control/npz_stream.h"

#include <array>
#include <cstring>
#include <stdexcept>

namespace Zelkor::HardwareAPI::Control {

namespace {

// Zip's fixed values: signatures, the version that reads zip64, the date every member gets
// (1980-01-01, the format's first day: the archive says nothing of when it was written).
constexpr std::uint32_t local_signature = 0x04034b50;
constexpr std::uint32_t central_signature = 0x02014b50;
constexpr std::uint32_t end64_signature = 0x06064b50;
constexpr std::uint32_t locator_signature = 0x07064b50;
constexpr std::uint32_t end_signature = 0x06054b50;
constexpr std::uint16_t zip64_version = 45;
constexpr std::uint16_t plain_version = 20;
constexpr std::uint16_t dos_date = (1 << 5) | 1;
constexpr std::uint32_t unknown32 = 0xFFFFFFFFu;
constexpr std::size_t local_head = 30;  // a local header before its name

// The rows' .npy header, a fixed size so that the final shape fits in place of the first.
constexpr std::size_t rows_header_size = 128;

// Appends `value` as `bytes` little-endian bytes.
void put_le(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

bool little_endian() noexcept {
    const std::uint16_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// An .npy file's bytes: format 1.0, the header padded with spaces to `size` bytes in all (a
// multiple of 64, at least what the header needs), then `data`.
std::string npy(const std::string& descr, const std::string& shape, const std::string& data,
                std::size_t size = 0) {
    std::string dict =
        "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape + ", }";
    std::size_t total = 10 + dict.size() + 1;
    total = size > total ? size : (total + 63) / 64 * 64;
    dict.append(total - 10 - dict.size() - 1, ' ');
    dict.push_back('\n');
    std::string out("\x93NUMPY\x01\x00", 8);
    put_le(out, dict.size(), 2);
    return out + dict + data;
}

std::array<std::uint32_t, 256> crc_table() noexcept {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

// Multiplies the 32-bit vector `v` by the GF(2) matrix `m` (a column per bit).
std::uint32_t gf2_times(const std::uint32_t* m, std::uint32_t v) noexcept {
    std::uint32_t sum = 0;
    for (; v != 0; v >>= 1, ++m) {
        if (v & 1) sum ^= *m;
    }
    return sum;
}

void gf2_square(std::uint32_t* square, const std::uint32_t* m) noexcept {
    for (int n = 0; n < 32; ++n) square[n] = gf2_times(m, m[n]);
}

}  // namespace

NpyMember npy_text(const std::string& name, const std::string& text) {
    std::string data;
    for (char c : text) put_le(data, static_cast<unsigned char>(c), 4);
    return {name, npy("<U" + std::to_string(text.size()), "()", data)};
}

NpyMember npy_int64(const std::string& name, std::int64_t value) {
    std::string data;
    put_le(data, static_cast<std::uint64_t>(value), 8);
    return {name, npy("<i8", "()", data)};
}

std::uint32_t crc32(std::uint32_t crc, const void* bytes, std::size_t size) noexcept {
    static const std::array<std::uint32_t, 256> table = crc_table();
    const auto* p = static_cast<const unsigned char*>(bytes);
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// As zlib's crc32_combine: the operator that appends b_size zero bytes to A's CRC, applied by
// squaring (one to four zero bits, then doubling), then B's CRC added.
std::uint32_t crc32_combine(std::uint32_t a, std::uint32_t b, std::uint64_t b_size) noexcept {
    if (b_size == 0) return a;
    std::uint32_t even[32], odd[32];
    odd[0] = 0xEDB88320u;
    for (int n = 1; n < 32; ++n) odd[n] = 1u << (n - 1);
    gf2_square(even, odd);  // two zero bits
    gf2_square(odd, even);  // four
    for (;;) {
        gf2_square(even, odd);
        if (b_size & 1) a = gf2_times(even, a);
        b_size >>= 1;
        if (b_size == 0) break;
        gf2_square(odd, even);
        if (b_size & 1) a = gf2_times(odd, a);
        b_size >>= 1;
        if (b_size == 0) break;
    }
    return a ^ b;
}

std::error_code NpzStream::put(const std::string& bytes) noexcept {
    const std::error_code e = file_.write(bytes.data(), bytes.size());
    if (!e) end_ += bytes.size();
    return e;
}

std::error_code NpzStream::add_member(const NpyMember& member) {
    Entry entry;
    entry.name = member.name + ".npy";
    entry.crc = crc32(0, member.bytes.data(), member.bytes.size());
    entry.size = member.bytes.size();
    entry.offset = end_;
    std::string head;
    put_le(head, local_signature, 4);
    put_le(head, plain_version, 2);
    put_le(head, 0, 2);  // flags
    put_le(head, 0, 2);  // stored
    put_le(head, 0, 2);  // time
    put_le(head, dos_date, 2);
    put_le(head, entry.crc, 4);
    put_le(head, entry.size, 4);
    put_le(head, entry.size, 4);
    put_le(head, entry.name.size(), 2);
    put_le(head, 0, 2);
    head += entry.name;
    entries_.push_back(entry);
    return put(head + member.bytes);
}

std::string NpzStream::rows_header() const {
    const std::string shape = "(" + std::to_string(rows_) + ", " + std::to_string(width_) + ")";
    return npy(little_endian() ? "<f8" : ">f8", shape, "", rows_header_size);
}

std::error_code NpzStream::open(const std::string& path, const std::vector<NpyMember>& head,
                                const std::string& rows_name, std::size_t width) {
    if (width == 0 || width > 4096) throw std::invalid_argument("rows of 1 to 4096 doubles");
    *this = NpzStream();
    width_ = width;
    if (std::error_code e = file_.open(path)) return e;
    for (const NpyMember& member : head) {
        if (std::error_code e = add_member(member)) return e;
    }
    // The rows' sizes and checksum are unknown until finish(): zip64 sizes in an extra field,
    // rewritten then.
    Entry entry;
    entry.name = rows_name + ".npy";
    entry.offset = end_;
    entry.zip64 = true;
    std::string local;
    put_le(local, local_signature, 4);
    put_le(local, zip64_version, 2);
    put_le(local, 0, 2);
    put_le(local, 0, 2);
    put_le(local, 0, 2);
    put_le(local, dos_date, 2);
    put_le(local, 0, 4);  // crc, at finish
    put_le(local, unknown32, 4);
    put_le(local, unknown32, 4);
    put_le(local, entry.name.size(), 2);
    put_le(local, 20, 2);
    local += entry.name;
    put_le(local, 1, 2);  // the zip64 extra field
    put_le(local, 16, 2);
    put_le(local, 0, 8);  // sizes, at finish
    put_le(local, 0, 8);
    rows_entry_ = entries_.size();
    entries_.push_back(entry);
    if (std::error_code e = put(local + rows_header())) return e;
    rows_data_ = end_;
    return {};
}

std::error_code NpzStream::append(const double* rows, std::size_t count) noexcept {
    const std::size_t bytes = count * width_ * sizeof(double);
    if (std::error_code e = file_.write(rows, bytes)) return e;
    rows_crc_ = crc32(rows_crc_, rows, bytes);
    rows_ += count;
    end_ += bytes;
    marks_[appends_++ % mark_count] = {rows_, rows_crc_};
    return {};
}

std::error_code NpzStream::cut_back(std::uint64_t room) noexcept {
    const std::uint64_t row_bytes = width_ * sizeof(double);
    const std::uint64_t limit = end_ > room ? end_ - room : 0;
    // The newest state that leaves the room; else the oldest one remembered (none before the
    // first append: no rows).
    const std::uint64_t held = appends_ < mark_count ? appends_ : mark_count;
    Mark keep = held == mark_count ? marks_[appends_ % mark_count] : Mark{};
    for (std::uint64_t k = 0; k <= held; ++k) {
        const Mark mark = k == 0 ? Mark{rows_, rows_crc_} : marks_[(appends_ - k) % mark_count];
        if (rows_data_ + mark.rows * row_bytes <= limit) {
            keep = mark;
            break;
        }
    }
    rows_ = keep.rows;
    rows_crc_ = keep.crc;
    appends_ = 0;  // the marks after it are gone
    end_ = rows_data_ + rows_ * row_bytes;
    return file_.truncate(end_);
}

std::string NpzStream::index() const {
    std::string central;
    for (const Entry& entry : entries_) {
        const bool far = entry.offset >= unknown32;
        std::string extra;
        if (entry.zip64 || far) {
            std::string fields;
            if (entry.zip64) {
                put_le(fields, entry.size, 8);
                put_le(fields, entry.size, 8);
            }
            if (far) put_le(fields, entry.offset, 8);
            put_le(extra, 1, 2);
            put_le(extra, fields.size(), 2);
            extra += fields;
        }
        put_le(central, central_signature, 4);
        put_le(central, zip64_version, 2);  // made by
        put_le(central, extra.empty() ? plain_version : zip64_version, 2);
        put_le(central, 0, 2);
        put_le(central, 0, 2);
        put_le(central, 0, 2);
        put_le(central, dos_date, 2);
        put_le(central, entry.crc, 4);
        put_le(central, entry.zip64 ? unknown32 : entry.size, 4);
        put_le(central, entry.zip64 ? unknown32 : entry.size, 4);
        put_le(central, entry.name.size(), 2);
        put_le(central, extra.size(), 2);
        put_le(central, 0, 2);  // comment
        put_le(central, 0, 2);  // disk
        put_le(central, 0, 2);  // internal attributes
        put_le(central, 0, 4);  // external attributes
        put_le(central, far ? unknown32 : entry.offset, 4);
        central += entry.name + extra;
    }
    // The zip64 end record and its locator always, then the classic end record.
    const std::uint64_t at = end_, size = central.size(), end64 = at + size;
    std::string tail;
    put_le(tail, end64_signature, 4);
    put_le(tail, 44, 8);
    put_le(tail, zip64_version, 2);
    put_le(tail, zip64_version, 2);
    put_le(tail, 0, 4);
    put_le(tail, 0, 4);
    put_le(tail, entries_.size(), 8);
    put_le(tail, entries_.size(), 8);
    put_le(tail, size, 8);
    put_le(tail, at, 8);
    put_le(tail, locator_signature, 4);
    put_le(tail, 0, 4);
    put_le(tail, end64, 8);
    put_le(tail, 1, 4);
    put_le(tail, end_signature, 4);
    put_le(tail, 0, 2);
    put_le(tail, 0, 2);
    put_le(tail, entries_.size(), 2);
    put_le(tail, entries_.size(), 2);
    put_le(tail, size < unknown32 ? size : unknown32, 4);
    put_le(tail, at < unknown32 ? at : unknown32, 4);
    put_le(tail, 0, 2);
    return central + tail;
}

std::error_code NpzStream::finish(const std::vector<NpyMember>& tail) {
    if (entries_.size() <= rows_entry_ || !entries_[rows_entry_].zip64) {
        // open() failed before the rows' head: there is no archive to finish.
        file_.close();
        return std::make_error_code(std::errc::bad_file_descriptor);
    }
    std::error_code e;
    for (const NpyMember& member : tail) {
        if (!e) e = add_member(member);
    }
    Entry& rows = entries_[rows_entry_];
    const std::string header = rows_header();
    const std::uint64_t data = rows_ * width_ * sizeof(double);
    rows.size = header.size() + data;
    rows.crc = crc32_combine(crc32(0, header.data(), header.size()), rows_crc_, data);
    std::string local;
    put_le(local, rows.crc, 4);
    std::string sizes;
    put_le(sizes, rows.size, 8);
    put_le(sizes, rows.size, 8);
    const std::uint64_t name_end = rows.offset + local_head + rows.name.size();
    if (!e) e = file_.write_at(rows.offset + 14, local.data(), local.size());
    if (!e) e = file_.write_at(name_end + 4, sizes.data(), sizes.size());
    if (!e) e = file_.write_at(name_end + 20, header.data(), header.size());
    if (!e) e = put(index());
    file_.close();
    return e;
}

}  // namespace Zelkor::HardwareAPI::Control
