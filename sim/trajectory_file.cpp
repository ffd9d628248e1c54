#include "trajectory_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace Zelkor::Sim {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// The fields of one CSV line (no quoting: trajectories are numbers and plain names).
void split(std::string_view line, std::vector<std::string_view>& fields) {
    fields.clear();
    for (;;) {
        const std::size_t comma = line.find(',');
        fields.push_back(trim(line.substr(0, comma)));
        if (comma == std::string_view::npos) return;
        line.remove_prefix(comma + 1);
    }
}

bool parse_number(std::string_view field, double& out) {
    if (field.empty()) return false;
    const std::string text(field);
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

std::string line_error(std::size_t line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

// --- zip and .npy -------------------------------------------------------------------------

// Little-endian fields at byte offsets of a buffer whose bounds the caller has checked.
std::uint32_t load_le(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

std::uint64_t load_le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(load_le(p, 4)) | static_cast<std::uint64_t>(load_le(p + 4, 4))
                                                           << 32;
}

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

constexpr std::uint32_t end_of_directory_signature = 0x06054b50;
constexpr std::uint32_t directory_entry_signature = 0x02014b50;
constexpr std::uint32_t local_header_signature = 0x04034b50;
constexpr std::uint32_t zip64_marker = 0xFFFFFFFF;

struct Member {
    std::string name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressed_size = 0;
    std::uint64_t size = 0;
    std::uint64_t local_header = 0;
};

class Zip {
  public:
    explicit Zip(std::string_view bytes)
        : p_(reinterpret_cast<const std::uint8_t*>(bytes.data())), n_(bytes.size()) {}

    // The central directory's entries; false with `error` set for a damaged archive.
    bool read_directory(std::vector<Member>& members, std::string& error) const {
        constexpr std::size_t end_record = 22;  // without its comment
        if (n_ < end_record) return fail(error, "too short to be a zip archive");
        // The end record sits at the end, before a comment of at most 65535 bytes.
        std::size_t at = n_ - end_record;
        const std::size_t lowest = n_ - end_record > 0xFFFF ? n_ - end_record - 0xFFFF : 0;
        while (load_le(p_ + at, 4) != end_of_directory_signature) {
            if (at == lowest) return fail(error, "no end of the zip directory: a damaged archive");
            --at;
        }
        const std::uint32_t entries = load_le(p_ + at + 10, 2);
        const std::uint32_t size = load_le(p_ + at + 12, 4);
        const std::uint32_t offset = load_le(p_ + at + 16, 4);
        if (entries == 0xFFFF || size == zip64_marker || offset == zip64_marker) {
            return fail(error,
                        "a zip64 archive of more than 65535 members or 4 GiB: too large "
                        "for a trajectory");
        }
        if (offset > at || size > at - offset)
            return fail(error,
                        "the zip directory lies "
                        "outside the archive");
        std::size_t entry = offset;
        const std::size_t directory_end = std::size_t{offset} + size;
        for (std::uint32_t i = 0; i < entries; ++i) {
            if (directory_end - entry < 46 || load_le(p_ + entry, 4) != directory_entry_signature) {
                return fail(error, "a damaged zip directory");
            }
            Member m;
            m.flags = static_cast<std::uint16_t>(load_le(p_ + entry + 8, 2));
            m.method = static_cast<std::uint16_t>(load_le(p_ + entry + 10, 2));
            m.crc = load_le(p_ + entry + 16, 4);
            m.compressed_size = load_le(p_ + entry + 20, 4);
            m.size = load_le(p_ + entry + 24, 4);
            m.local_header = load_le(p_ + entry + 42, 4);
            const std::size_t name_length = load_le(p_ + entry + 28, 2);
            const std::size_t extra_length = load_le(p_ + entry + 30, 2);
            const std::size_t comment_length = load_le(p_ + entry + 32, 2);
            const std::size_t length = 46 + name_length + extra_length + comment_length;
            if (directory_end - entry < length) return fail(error, "a damaged zip directory");
            m.name.assign(reinterpret_cast<const char*>(p_ + entry + 46), name_length);
            if (!read_zip64_sizes(p_ + entry + 46 + name_length, extra_length, m)) {
                return fail(error, "a damaged zip64 field in the zip directory");
            }
            members.push_back(std::move(m));
            entry += length;
        }
        return true;
    }

    // The bytes of a stored member, checked against its checksum.
    bool contents(const Member& m, std::string_view& out, std::string& error) const {
        if (m.flags & 1) return fail(error, m.name + " is encrypted");
        if (m.method == 8) {
            return fail(error, m.name +
                                   " is compressed: save the arrays with numpy.savez, "
                                   "not numpy.savez_compressed");
        }
        if (m.method != 0) {
            return fail(error, m.name + " is packed with zip method " + std::to_string(m.method) +
                                   ": save the arrays with numpy.savez");
        }
        if (m.compressed_size != m.size) return fail(error, m.name + ": a damaged zip entry");
        if (m.local_header > n_ || n_ - m.local_header < 30 ||
            load_le(p_ + m.local_header, 4) != local_header_signature) {
            return fail(error, m.name + ": a damaged zip entry");
        }
        // The local header's name and extra field need not match the directory's in length
        // (numpy's writer puts a zip64 field in the local header only).
        const std::uint64_t start = m.local_header + 30 + load_le(p_ + m.local_header + 26, 2) +
                                    load_le(p_ + m.local_header + 28, 2);
        if (start > n_ || n_ - start < m.size) {
            return fail(error, m.name + " is cut short: the archive is incomplete");
        }
        const auto* data = p_ + start;
        const auto size = static_cast<std::size_t>(m.size);
        if (crc32(data, size) != m.crc) {
            return fail(error, m.name + " does not match its checksum: the archive is damaged");
        }
        out = std::string_view(reinterpret_cast<const char*>(data), size);
        return true;
    }

  private:
    static bool fail(std::string& error, const std::string& what) {
        error = what;
        return false;
    }

    // Fills in the sizes and offset a directory entry marks as in its zip64 extra field
    // (0xFFFFFFFF), in the field's order: size, compressed size, offset.
    static bool read_zip64_sizes(const std::uint8_t* extra, std::size_t length, Member& m) {
        std::uint64_t* wanted[] = {&m.size, &m.compressed_size, &m.local_header};
        bool any = false;
        for (auto* w : wanted) any = any || *w == zip64_marker;
        if (!any) return true;
        while (length >= 4) {
            const std::uint32_t id = load_le(extra, 2), field = load_le(extra + 2, 2);
            if (length - 4 < field) return false;
            if (id == 1) {
                std::size_t at = 0;
                for (auto* w : wanted) {
                    if (*w != zip64_marker) continue;
                    if (field - at < 8) return false;
                    *w = load_le64(extra + 4 + at);
                    at += 8;
                }
                return true;
            }
            extra += 4 + field;
            length -= 4 + field;
        }
        return false;
    }

    const std::uint8_t* p_;
    std::size_t n_;
};

// One .npy array as doubles, row-major, with its shape.
struct Array {
    std::vector<std::size_t> shape;
    std::vector<double> values;
};

// The text after `key` in the header's dictionary, past the colon; empty when absent.
std::string_view header_value(std::string_view header, std::string_view key) {
    for (const char quote : {'\'', '"'}) {
        const std::string quoted = quote + std::string(key) + quote;
        const std::size_t at = header.find(quoted);
        if (at == std::string_view::npos) continue;
        std::string_view rest = trim(header.substr(at + quoted.size()));
        if (rest.empty() || rest.front() != ':') return {};
        return trim(rest.substr(1));
    }
    return {};
}

bool parse_shape(std::string_view text, std::vector<std::size_t>& shape) {
    if (text.empty() || text.front() != '(') return false;
    text.remove_prefix(1);
    for (;;) {
        text = trim(text);
        if (text.empty()) return false;
        if (text.front() == ')') return true;
        std::size_t v = 0, digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            const std::size_t d = static_cast<std::size_t>(text[digits] - '0');
            if (v > (SIZE_MAX - d) / 10) return false;
            v = v * 10 + d;
            ++digits;
        }
        if (digits == 0) return false;
        shape.push_back(v);
        text = trim(text.substr(digits));
        if (!text.empty() && text.front() == ',') text.remove_prefix(1);
    }
}

std::string shape_text(const std::vector<std::size_t>& shape) {
    std::string s = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        s += std::to_string(shape[i]);
        s += shape.size() == 1 ? "," : i + 1 < shape.size() ? ", " : "";
    }
    return s + ")";
}

double element(const std::uint8_t* p, char kind, int size, bool big_endian) {
    std::uint8_t b[8];
    for (int i = 0; i < size; ++i) b[i] = big_endian ? p[size - 1 - i] : p[i];
    std::uint64_t bits = 0;
    for (int i = size - 1; i >= 0; --i) bits = bits << 8 | b[i];
    switch (kind) {
        case 'f':
            if (size == 4) {
                float f;
                const auto u = static_cast<std::uint32_t>(bits);
                std::memcpy(&f, &u, 4);
                return f;
            } else {
                double d;
                std::memcpy(&d, &bits, 8);
                return d;
            }
        case 'i': {
            const int shift = 64 - 8 * size;  // sign-extend
            return static_cast<double>(static_cast<std::int64_t>(bits << shift) >> shift);
        }
        default:  // 'u'
            return static_cast<double>(bits);
    }
}

bool parse_npy(std::string_view bytes, Array& out, std::string& error) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t n = bytes.size();
    if (n < 10 || std::memcmp(p, "\x93NUMPY", 6) != 0) {
        error = "is not a .npy array";
        return false;
    }
    const int major = p[6];
    std::size_t header_start = 10, header_length = load_le(p + 8, 2);
    if (major == 2 || major == 3) {
        if (n < 12) {
            error = "is cut short";
            return false;
        }
        header_start = 12;
        header_length = load_le(p + 8, 4);
    } else if (major != 1) {
        error = "is in .npy format version " + std::to_string(major) + ", which is not known";
        return false;
    }
    if (n - header_start < header_length) {
        error = "is cut short";
        return false;
    }
    const std::string_view header(bytes.data() + header_start, header_length);

    // 'descr': '<f8' and the like: byte order, kind, size.
    const std::string_view descr = header_value(header, "descr");
    const std::string_view shape_value = header_value(header, "shape");
    const std::string_view order = header_value(header, "fortran_order");
    if (descr.size() < 5 || (descr[0] != '\'' && descr[0] != '"') || shape_value.empty() ||
        order.empty()) {
        error = "has a header that is not understood";
        return false;
    }
    const std::string_view type = descr.substr(1, descr.find(descr[0], 1) - 1);
    const char byte_order = type.empty() ? '?' : type[0];
    const char kind = type.size() > 1 ? type[1] : '?';
    const std::string size_text(type.size() > 2 ? type.substr(2) : "");
    const int size = size_text.size() == 1 ? size_text[0] - '0' : 0;
    const bool known_size =
        kind == 'f' ? size == 4 || size == 8 : size == 1 || size == 2 || size == 4 || size == 8;
    if ((byte_order != '<' && byte_order != '>' && byte_order != '|' && byte_order != '=') ||
        (kind != 'f' && kind != 'i' && kind != 'u') || !known_size) {
        error = "holds values of type '" + std::string(type) +
                "': numbers are needed (floating-point or integer)";
        return false;
    }
    const bool fortran = order.substr(0, 4) == "True";
    if (!fortran && order.substr(0, 5) != "False") {
        error = "has a header that is not understood";
        return false;
    }
    if (!parse_shape(shape_value, out.shape)) {
        error = "has a header that is not understood";
        return false;
    }

    // The element count, checked against the bytes there are before anything is allocated.
    const std::size_t data_length = n - header_start - header_length;
    std::size_t count = 1;
    for (const std::size_t d : out.shape) {
        if (d != 0 && count > data_length / d) {
            error = "is cut short: shape " + shape_text(out.shape) + " needs more bytes";
            return false;
        }
        count *= d;
    }
    if (count * static_cast<std::size_t>(size) != data_length) {
        error = "has " + std::to_string(data_length) + " bytes of data where shape " +
                shape_text(out.shape) + " needs " +
                std::to_string(count * static_cast<std::size_t>(size));
        return false;
    }
    const auto* data = p + header_start + header_length;
    out.values.resize(count);
    const std::size_t rows = out.shape.empty() ? 1 : out.shape[0];
    const std::size_t columns = rows == 0 ? 0 : count / rows;
    for (std::size_t i = 0; i < count; ++i) {
        // Fortran order keeps a column's elements together.
        const std::size_t at = fortran ? (i % columns) * rows + i / columns : i;
        out.values[i] =
            element(data + at * static_cast<std::size_t>(size), kind, size, byte_order == '>');
    }
    return true;
}

}  // namespace

std::optional<Trajectory> parse_trajectory_csv(std::string_view text, std::string& error) {
    std::vector<std::string_view> fields;
    std::size_t line_number = 0;
    std::size_t time_column = 0;
    std::array<std::size_t, 3> position_columns{};
    std::size_t needed = 0;  // fields a line must have
    bool header = false;
    std::vector<double> times;
    std::vector<Vec3> positions;
    std::vector<std::size_t> lines;  // of each sample, for the errors found later
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++line_number;
        if (line.empty()) continue;
        if (!header) {
            if (line.front() == '#') continue;
            split(line, fields);
            const auto find = [&](std::string_view name, std::size_t& column) {
                for (std::size_t i = 0; i < fields.size(); ++i) {
                    if (fields[i] == name) {
                        column = i;
                        return true;
                    }
                }
                return false;
            };
            const bool has_time = find("time", time_column);
            const bool recorded = find("position_x", position_columns[0]) &&
                                  find("position_y", position_columns[1]) &&
                                  find("position_z", position_columns[2]);
            const bool plain = !recorded && find("x", position_columns[0]) &&
                               find("y", position_columns[1]) && find("z", position_columns[2]);
            if (!has_time || (!recorded && !plain)) {
                error = line_error(line_number,
                                   "the header must name the columns time, x, y, z (or time, "
                                   "position_x, position_y, position_z); it is '" +
                                       std::string(line.substr(0, 80)) + "'");
                return std::nullopt;
            }
            needed = time_column;
            for (const std::size_t c : position_columns) needed = std::max(needed, c);
            ++needed;
            header = true;
            continue;
        }
        split(line, fields);
        if (fields.size() < needed) {
            error = line_error(line_number, std::to_string(fields.size()) + " fields, where " +
                                                std::to_string(needed) + " are needed");
            return std::nullopt;
        }
        double t = 0.0;
        Vec3 p{};
        const char* names[] = {"x", "y", "z"};
        if (!parse_number(fields[time_column], t)) {
            error = line_error(
                line_number, "the time '" + std::string(fields[time_column]) + "' is not a number");
            return std::nullopt;
        }
        for (int i = 0; i < 3; ++i) {
            const std::string_view f = fields[position_columns[i]];
            if (!parse_number(f, p[i])) {
                error = line_error(line_number, std::string("the position's ") + names[i] + " '" +
                                                    std::string(f) + "' is not a number");
                return std::nullopt;
            }
        }
        times.push_back(t);
        positions.push_back(p);
        lines.push_back(line_number);
    }
    if (!header) {
        error = "no header line naming the columns time, x, y, z";
        return std::nullopt;
    }
    Trajectory trajectory;
    std::size_t bad = 0;
    const std::string fault = trajectory.assign(std::move(times), std::move(positions), &bad);
    if (!fault.empty()) {
        error = lines.empty() ? fault : line_error(lines[bad], fault);
        return std::nullopt;
    }
    return trajectory;
}

std::optional<Trajectory> parse_trajectory_npz(std::string_view bytes, std::string& error) {
    const Zip zip(bytes);
    std::vector<Member> members;
    if (!zip.read_directory(members, error)) return std::nullopt;
    Array arrays[2];
    const char* names[] = {"time", "position"};
    for (int a = 0; a < 2; ++a) {
        const std::string file = std::string(names[a]) + ".npy";
        const Member* member = nullptr;
        for (const Member& m : members) {
            if (m.name == file) member = &m;
        }
        if (!member) {
            std::string have;
            for (const Member& m : members) have += (have.empty() ? "" : ", ") + m.name;
            error = std::string("no array '") + names[a] +
                    "' (arrays 'time' and 'position' are needed; the archive has " +
                    (have.empty() ? "nothing" : have) + ")";
            return std::nullopt;
        }
        std::string_view npy;
        if (!zip.contents(*member, npy, error)) return std::nullopt;
        if (!parse_npy(npy, arrays[a], error)) {
            error = "the array '" + std::string(names[a]) + "' " + error;
            return std::nullopt;
        }
    }
    const Array& time = arrays[0];
    const Array& position = arrays[1];
    if (time.shape.size() != 1) {
        error = "the array 'time' has shape " + shape_text(time.shape) + ", not (N,)";
        return std::nullopt;
    }
    if (position.shape.size() != 2 || position.shape[0] != time.shape[0] ||
        position.shape[1] != 3) {
        error = "the array 'position' has shape " + shape_text(position.shape) + ", not (" +
                std::to_string(time.shape[0]) + ", 3) as 'time' has " +
                std::to_string(time.shape[0]) + " samples";
        return std::nullopt;
    }
    std::vector<Vec3> positions(time.values.size());
    for (std::size_t i = 0; i < positions.size(); ++i) {
        for (int c = 0; c < 3; ++c) positions[i][c] = position.values[3 * i + c];
    }
    Trajectory trajectory;
    std::size_t bad = 0;
    const std::string fault = trajectory.assign(time.values, std::move(positions), &bad);
    if (!fault.empty()) {
        error = time.values.empty() ? fault : "row " + std::to_string(bad + 1) + ": " + fault;
        return std::nullopt;
    }
    return trajectory;
}

std::optional<Trajectory> read_trajectory(const std::string& path, std::string& error) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                               &std::fclose);
    if (!file) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string bytes;
    char chunk[1 << 16];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        bytes.append(chunk, got);
        if (bytes.size() > max_trajectory_file) {
            error = "larger than 256 MiB: too large for a trajectory";
            return std::nullopt;
        }
        if (got < sizeof chunk) break;
    }
    if (std::ferror(file.get())) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    // A zip archive starts with a member's header, or, empty, with the directory's end.
    const bool zip = bytes.size() >= 4 && (bytes.compare(0, 4, "PK\x03\x04") == 0 ||
                                           bytes.compare(0, 4, "PK\x05\x06") == 0);
    return zip ? parse_trajectory_npz(bytes, error) : parse_trajectory_csv(bytes, error);
}

}  // namespace Zelkor::Sim
