// SerialStream and its stream buffer driven by random sequences of stream operations behind
// the fuzzed port.
//
// Each operation runs twice: on the SerialStream, and on a reference stream whose buffer is
// written here from the documented behaviour of the stream buffer (unbuffered, one-byte
// look-ahead, one platform transfer per bulk read or write, a hang-up closes the port, the
// failure record) and which is served the very port calls the library made, replayed. The
// two must agree on every result, gcount(), stream state, byte placed in the caller's buffer
// (and beyond it), open state and recorded failure; the reference checks on the way that the
// library made exactly the port calls the behaviour calls for. The documented promises of
// read() and write() are also checked directly against the port's log.
#include <ZelkorHardwareAPI/io/serial_stream.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>
#include <sstream>
#include <streambuf>
#include <string>

#include "port_fake.h"

namespace {

using namespace zelkor_fuzz;
using Zelkor::HardwareAPI::IO::OpenCode;
using Zelkor::HardwareAPI::IO::PortError;
using Zelkor::HardwareAPI::IO::SerialStream;
using Ending = Zelkor::HardwareAPI::IO::port::Ending;
using Kind = PortEvent::Kind;
using Step = PortError::Step;
using Cause = PortError::Cause;
using traits = std::char_traits<char>;

// The port calls one operation caused, served again to the reference in order.
class Replay {
  public:
    Replay(const std::vector<PortEvent>& events, std::size_t from, std::size_t to)
        : events_(events), at_(from), to_(to) {}

    const PortEvent& take(Kind kind) {
        // The library made fewer calls than the reference, or other ones.
        FUZZ_CHECK(at_ < to_);
        const PortEvent& event = events_[at_++];
        FUZZ_CHECK(event.kind == kind);
        return event;
    }
    // The library made no more calls than the reference.
    void end() const { FUZZ_CHECK(at_ == to_); }

  private:
    const std::vector<PortEvent>& events_;
    std::size_t at_, to_;
};

// The reference stream buffer.
class ReferenceBuffer : public std::streambuf {
  public:
    Replay* port = nullptr;

    bool is_open() const { return open_; }
    const PortError& last_error() const { return error_; }

    std::int8_t open(const char* name) {
        close();
        if (name == nullptr) {
            error_ = {Step::open, Cause::system, 0};
            return static_cast<std::int8_t>(OpenCode::not_found);
        }
        error_ = {};
        timeouts_ = Timeouts::unknown;
        reads_set_ = false;
        const PortEvent& event = port->take(Kind::open);
        FUZZ_CHECK(event.name == name);
        if (event.open_threw) throw std::bad_alloc();
        if (event.open_code != OpenCode::ok) error_ = event.open_error;
        if (event.open_code == OpenCode::ok) timeouts_ = Timeouts::from_open;
        switch (event.open_code) {
            case OpenCode::ok:
            case OpenCode::get_state_failed:
            case OpenCode::set_state_failed:
            case OpenCode::set_timeouts_failed:
                open_ = true;
                handle_ = event.handle;
                break;
            default:
                break;
        }
        return static_cast<std::int8_t>(event.open_code);
    }

    void close() {
        if (!open_) return;
        FUZZ_CHECK(port->take(Kind::close).handle == handle_);
        open_ = false;
        has_lookahead_ = false;
    }

    bool discard_input() {
        has_lookahead_ = false;
        if (!open_ || !mine(port->take(Kind::discard)).ok) return false;
        // The input an interrupted read left behind is gone with it.
        if (error_.cause == Cause::interrupted) error_ = {};
        return true;
    }

  protected:
    int_type overflow(int_type c) override {
        if (traits::eq_int_type(c, traits::eof())) return traits::eof();
        if (!open_) return not_open(Step::write), traits::eof();
        if (timeouts_ == Timeouts::unknown && !apply_timeouts()) return traits::eof();
        const PortEvent& event = mine(port->take(Kind::write));
        FUZZ_CHECK(event.requested == 1 && event.bytes[0] == static_cast<std::uint8_t>(c));
        record(Step::write, event);
        return event.count == 1 ? c : traits::eof();
    }

    int_type pbackfail(int_type c) override {
        if (has_lookahead_ || traits::eq_int_type(c, traits::eof())) return traits::eof();
        lookahead_ = static_cast<std::uint8_t>(c);
        has_lookahead_ = true;
        return c;
    }

    std::streamsize showmanyc() override {
        if (!open_) return not_open(Step::read), 0;
        if (has_lookahead_) return 1;
        if (read_port(&lookahead_, 1) != 1) return 0;
        has_lookahead_ = true;
        return 1;
    }

    int_type underflow() override {
        if (!open_) return not_open(Step::read), traits::eof();
        if (!has_lookahead_) {
            if (read_port(&lookahead_, 1) != 1) return traits::eof();
            has_lookahead_ = true;
        }
        return traits::to_int_type(static_cast<char>(lookahead_));
    }

    int_type uflow() override {
        const int_type c = underflow();
        has_lookahead_ = false;
        return c;
    }

    std::streamsize xsgetn(char* s, std::streamsize n) override {
        if (n <= 0) return 0;
        if (!open_) return not_open(Step::read), 0;
        std::streamsize placed = 0;
        if (has_lookahead_) {
            s[placed++] = static_cast<char>(lookahead_);
            has_lookahead_ = false;
            if (n == 1) return 1;
        }
        const int r = read_port(s + placed, static_cast<std::size_t>(n - placed));
        return placed + (r > 0 ? r : 0);
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (n <= 0) return 0;
        if (!open_) return not_open(Step::write), 0;
        if (timeouts_ == Timeouts::unknown && !apply_timeouts()) return 0;
        const PortEvent& event = mine(port->take(Kind::write));
        FUZZ_CHECK(event.requested == static_cast<std::size_t>(n));
        FUZZ_CHECK(std::memcmp(event.bytes.data(), s, event.bytes.size()) == 0);
        record(Step::write, event);
        return static_cast<std::streamsize>(event.count);
    }

    std::streambuf* setbuf(char*, std::streamsize) override { return this; }

  private:
    const PortEvent& mine(const PortEvent& event) const {
        FUZZ_CHECK(event.handle == handle_);
        return event;
    }

    void not_open(Step step) {
        if (!error_) error_ = {step, Cause::not_open, 0};
    }

    // The time-outs applied: false, with the failure recorded, when the port refused them.
    bool apply_timeouts() {
        const PortEvent& timeouts = mine(port->take(Kind::apply_timeouts));
        if (!timeouts.ok) {
            error_ = {Step::configure, Cause::system, timeouts.system_error};
            timeouts_ = Timeouts::unknown;
            return false;
        }
        timeouts_ = reads_set_ ? Timeouts::for_reads : Timeouts::from_open;
        return true;
    }

    // One platform read, after the time-outs unless the driver holds the read time-outs
    // already: the bytes delivered, -1 when the time-outs were refused, -2 when the read
    // failed having moved nothing.
    int read_port(void* destination, std::size_t n) {
        reads_set_ = true;
        if (timeouts_ != Timeouts::for_reads && !apply_timeouts()) return -1;
        const PortEvent& event = mine(port->take(Kind::read));
        FUZZ_CHECK(event.requested == n);
        if (!event.bytes.empty()) std::memcpy(destination, event.bytes.data(), event.bytes.size());
        record(Step::read, event);
        if (event.ending == Ending::failed && event.count == 0) return -2;
        return static_cast<int>(event.count);
    }

    void record(Step step, const PortEvent& event) {
        switch (event.ending) {
            case Ending::complete:
                // A success keeps a failure of the other direction.
                if (error_.step != (step == Step::read ? Step::write : Step::read)) error_ = {};
                break;
            case Ending::timed_out:
                error_ = {step, Cause::timed_out, 0};
                break;
            case Ending::interrupted:
                error_ = {step, Cause::interrupted, 0};
                break;
            case Ending::failed:
                error_ = {step, Cause::system, event.system_error};
                break;
            case Ending::hung_up:
                error_ = {Step::hang_up, Cause::system, event.system_error};
                close();
                break;
        }
    }

    bool open_ = false;
    io::PortHandle handle_ = io::invalid_port_handle;
    bool has_lookahead_ = false;
    std::uint8_t lookahead_ = 0;
    PortError error_;
    // The time-outs the driver holds, as far as the buffer knows: none it knows of, those
    // open applied, or those of reads (the read time-out differs from open's).
    enum class Timeouts { unknown, from_open, for_reads } timeouts_ = Timeouts::unknown;
    bool reads_set_ = false;  // a read has set the read time-outs since the open
};

// The reference stream: the same interface as SerialStream.
class ReferenceStream : public std::iostream {
  public:
    ReferenceStream() : std::iostream(nullptr) { rdbuf(&buffer); }

    ReferenceStream& write(const char* data, std::streamsize n) {
        clear();
        std::ostream::write(data, n);
        return *this;
    }
    ReferenceStream& read(char* data, std::streamsize n) {
        clear();
        std::istream::read(data, n);
        return *this;
    }
    std::int8_t connect(const char* name) {
        buffer.close();
        try {
            open_result_ = buffer.open(name);
        } catch (...) {
            open_result_ = static_cast<std::int8_t>(OpenCode::exception);
        }
        return open_result_;
    }
    void close() { buffer.close(); }
    bool is_open() const { return buffer.is_open(); }
    bool discard_input() { return buffer.discard_input(); }
    const PortError& last_error() const { return buffer.last_error(); }
    std::int8_t open_result() const { return open_result_; }

    ReferenceBuffer buffer;

  private:
    std::int8_t open_result_ = 0;
};

// ---- Operations ----

enum class Op : std::uint8_t {
    write,
    ostream_write,
    put,
    insert_number,
    insert_text,
    flush,
    read,
    istream_read,
    get,
    get_into,
    get_line,
    getline_chars,
    getline_string,
    ignore,
    ignore_all,
    peek,
    putback,
    unget,
    readsome,
    extract_number,
    extract_word,
    tellg,
    in_avail,
    sgetc,
    sbumpc,
    snextc,
    sungetc,
    sputbackc,
    sgetn,
    sputn,
    sputc,
    pubsetbuf,
    close,
    connect,
    discard_input,
    clear,
    exceptions,
    count
};

struct Params {
    Op op;
    std::streamsize n = 0;
    char c = 0;
    char delim = '\n';
    int number = 0;
    std::string text;  // bytes to write, or the port name
    bool null_name = false;
    std::ios::iostate state = std::ios::goodbit;
};

constexpr std::size_t guard = 8;
constexpr char fill = '\xA5';

struct Result {
    long long value = 0;
    std::streamsize gcount = 0;
    std::ios::iostate state = std::ios::goodbit;
    bool threw = false;
    std::string buffer;  // the caller's buffer and the guard bytes after it
    std::string text;    // a string extracted
    bool open = false;
    PortError error;
    std::int8_t open_result = 0;

    bool operator==(const Result& o) const {
        return value == o.value && gcount == o.gcount && state == o.state && threw == o.threw &&
               buffer == o.buffer && text == o.text && open == o.open &&
               error.step == o.error.step && error.cause == o.error.cause &&
               error.system_error == o.error.system_error && open_result == o.open_result;
    }
};

Params params_from(FuzzedDataProvider& in) {
    Params p;
    p.op = static_cast<Op>(in.ConsumeIntegral<std::uint8_t>() % static_cast<int>(Op::count));
    p.n = in.ConsumeIntegralInRange<std::streamsize>(-1, 40);
    p.c = in.ConsumeIntegral<char>();
    p.delim = in.ConsumeBool() ? '\n' : in.ConsumeIntegral<char>();
    p.number = in.ConsumeIntegral<int>();
    switch (p.op) {
        case Op::write:
        case Op::ostream_write:
        case Op::sputn:
            p.text = in.ConsumeBytesAsString(
                static_cast<std::size_t>(std::max<std::streamsize>(p.n, 0)));
            p.n = static_cast<std::streamsize>(p.text.size());
            break;
        case Op::insert_text:
            p.text = in.ConsumeRandomLengthString(16);
            break;
        case Op::connect:
            p.null_name = (in.ConsumeIntegral<std::uint8_t>() & 15) == 15;
            p.text = in.ConsumeRandomLengthString(12);
            break;
        case Op::clear:
        case Op::exceptions:
            p.state = static_cast<std::ios::iostate>(
                in.ConsumeIntegral<std::uint8_t>() &
                (std::ios::badbit | std::ios::failbit | std::ios::eofbit));
            break;
        default:
            break;
    }
    return p;
}

// Runs one operation on either stream.
template <class Stream>
Result apply(Stream& s, const Params& p) {
    Result r;
    // A caller's buffer of n bytes with guard bytes behind it, all filled.
    const std::size_t size = static_cast<std::size_t>(std::max<std::streamsize>(p.n, 0));
    std::string buffer(size + guard, fill);
    char* b = buffer.data();
    std::istream& is = s;
    std::ostream& os = s;
    std::streambuf& sb = *s.rdbuf();
    try {
        switch (p.op) {
            case Op::write:
                s.write(p.text.data(), p.n);
                break;
            case Op::ostream_write:
                os.write(p.text.data(), p.n);
                break;
            case Op::put:
                os.put(p.c);
                break;
            case Op::insert_number:
                os << p.number;
                break;
            case Op::insert_text:
                os << p.text;
                break;
            case Op::flush:
                os.flush();
                break;
            case Op::read:
                s.read(b, p.n);
                break;
            case Op::istream_read:
                is.read(b, p.n);
                break;
            case Op::get:
                r.value = is.get();
                break;
            case Op::get_into: {
                char c = fill;
                is.get(c);
                r.value = c;
                break;
            }
            case Op::get_line:
                is.get(b, p.n, p.delim);
                break;
            case Op::getline_chars:
                is.getline(b, p.n, p.delim);
                break;
            case Op::getline_string:
                std::getline(is, r.text, p.delim);
                break;
            case Op::ignore:
                is.ignore(p.n, traits::to_int_type(p.delim));
                break;
            case Op::ignore_all:
                is.ignore(std::numeric_limits<std::streamsize>::max(),
                          traits::to_int_type(p.delim));
                break;
            case Op::peek:
                r.value = is.peek();
                break;
            case Op::putback:
                is.putback(p.c);
                break;
            case Op::unget:
                is.unget();
                break;
            case Op::readsome:
                r.value = is.readsome(b, p.n);
                break;
            case Op::extract_number: {
                long long v = 7;
                is >> v;
                r.value = v;
                break;
            }
            case Op::extract_word:
                is >> r.text;
                break;
            case Op::tellg:
                r.value = static_cast<long long>(is.tellg());
                break;
            case Op::in_avail:
                r.value = sb.in_avail();
                break;
            case Op::sgetc:
                r.value = sb.sgetc();
                break;
            case Op::sbumpc:
                r.value = sb.sbumpc();
                break;
            case Op::snextc:
                r.value = sb.snextc();
                break;
            case Op::sungetc:
                r.value = sb.sungetc();
                break;
            case Op::sputbackc:
                r.value = sb.sputbackc(p.c);
                break;
            case Op::sgetn:
                r.value = sb.sgetn(b, p.n);
                break;
            case Op::sputn:
                r.value = sb.sputn(p.text.data(), p.n);
                break;
            case Op::sputc:
                r.value = sb.sputc(p.c);
                break;
            case Op::pubsetbuf:
                r.value = sb.pubsetbuf(b, p.n) == &sb;
                break;
            case Op::close:
                s.close();
                break;
            case Op::connect:
                r.value = s.connect(p.null_name ? nullptr : p.text.c_str());
                break;
            case Op::discard_input:
                r.value = s.discard_input();
                break;
            case Op::clear:
                s.clear(p.state);
                break;
            case Op::exceptions:
                s.exceptions(p.state);
                break;
            case Op::count:
                break;
        }
    } catch (const std::ios_base::failure&) {
        r.threw = true;
    }
    r.gcount = s.gcount();
    r.state = s.rdstate();
    r.buffer = buffer;
    r.open = s.is_open();
    r.error = s.last_error();
    r.open_result = s.open_result();
    return r;
}

// What read() and write() promise, checked against the port's log alone.
void check_transfer(const Params& p, const Result& r, const std::vector<PortEvent>& events,
                    std::size_t from, bool was_open) {
    Bytes delivered;
    std::size_t written = 0, reads = 0, writes = 0;
    bool refused = false;  // the time-outs were refused: no transfer then
    for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].kind == Kind::apply_timeouts && !events[i].ok) refused = true;
        if (events[i].kind == Kind::read) {
            ++reads;
            delivered = events[i].bytes;
        }
        if (events[i].kind == Kind::write) {
            ++writes;
            written = events[i].count;
            if (p.op == Op::write)
                FUZZ_CHECK(events[i].bytes == Bytes(p.text.begin(), p.text.end()));
        }
    }
    if (p.op == Op::read && p.n >= 0) {
        const auto n = static_cast<std::size_t>(std::max<std::streamsize>(p.n, 0));
        const auto k = static_cast<std::size_t>(r.gcount);
        // At most one platform read; the bytes it delivered end what was placed, after at
        // most the one look-ahead byte.
        FUZZ_CHECK(writes == 0 && reads <= 1 && k <= n);
        FUZZ_CHECK(k >= delivered.size() && k <= delivered.size() + 1);
        FUZZ_CHECK(
            std::equal(delivered.begin(), delivered.end(),
                       r.buffer.begin() + static_cast<std::ptrdiff_t>(k - delivered.size()),
                       [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
        // The rest of the buffer, and what lies beyond it, untouched.
        for (std::size_t i = k; i < r.buffer.size(); ++i) FUZZ_CHECK(r.buffer[i] == fill);
        const bool short_read = (r.state & std::ios::eofbit) && (r.state & std::ios::failbit);
        FUZZ_CHECK(short_read == (k < n));
        if (n == 0) FUZZ_CHECK(events.size() == from);
    }
    if (p.op == Op::write) {
        FUZZ_CHECK(reads == 0 && writes <= 1);
        if (p.n == 0) {
            FUZZ_CHECK(events.size() == from && r.state == std::ios::goodbit);
        } else {
            // One platform write of everything, on an open port that took its time-outs;
            // badbit unless all went.
            const bool went = was_open && !refused;
            FUZZ_CHECK(writes == (went ? 1u : 0u));
            FUZZ_CHECK(((r.state & std::ios::badbit) != 0) ==
                       (!went || written < static_cast<std::size_t>(p.n)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // connect() reports a failed open on standard output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    FakePort port(in);
    ReferenceStream reference;
    {
        std::size_t from = port.mark();
        SerialStream stream("stream");
        {
            Replay replay(port.events(), from, port.mark());
            reference.buffer.port = &replay;
            reference.connect("stream");
            replay.end();
        }
        for (int step = 0; step < 96 && in.remaining_bytes() > 0; ++step) {
            const Params p = params_from(in);
            from = port.mark();
            const bool was_open = stream.is_open();
            const Result got = apply(stream, p);
            Replay replay(port.events(), from, port.mark());
            reference.buffer.port = &replay;
            const Result want = apply(reference, p);
            replay.end();
            FUZZ_CHECK(got == want);
            check_transfer(p, got, port.events(), from, was_open);
            // A recorded failure has a text and an errno; no failure has neither.
            const PortError& error = stream.last_error();
            FUZZ_CHECK(error.message().empty() == !error);
            FUZZ_CHECK((error.error_number() == 0) == !error);
        }
    }
    // The stream closed its port on the way out (FakePort checks).
    return 0;
}
