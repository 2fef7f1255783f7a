#include "streams/HTTPBodyDecoding.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "QORCommonTools/TextHelpers.hpp"

namespace qor::standard::streams {
namespace {

/// Inflates with the given window bits; nothing when zlib refuses the stream before any output.
std::optional<std::vector<std::byte>> inflateWith(const Data& bytes, int windowBits, std::size_t maxOut, bool& cut) {
    z_stream z{};
    if (inflateInit2(&z, windowBits) != Z_OK) return std::nullopt;
    std::vector<std::byte> out;
    std::size_t inputAt = 0;
    std::byte buffer[16384];
    bool ok = true;
    while (true) {
        // zlib counts in 32 bits: feed at most 1 GiB at a time.
        if (z.avail_in == 0 && inputAt < bytes.size()) {
            auto chunk = std::min<std::size_t>(bytes.size() - inputAt, std::size_t{1} << 30);
            z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(bytes.data() + inputAt));
            z.avail_in = static_cast<uInt>(chunk);
            inputAt += chunk;
        }
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        int status = inflate(&z, Z_NO_FLUSH);
        std::size_t produced = sizeof buffer - z.avail_out;
        if (out.size() + produced > maxOut) {
            out.insert(out.end(), buffer, buffer + (maxOut - out.size()));
            cut = true;
            break;
        }
        out.insert(out.end(), buffer, buffer + produced);
        if (status == Z_STREAM_END) {
            // Another gzip member may follow (RFC 1952 section 2.2).
            std::size_t rest = z.avail_in + (bytes.size() - inputAt);
            std::size_t restAt = bytes.size() - rest;
            if (windowBits > 15 && rest >= 2 && bytes[restAt] == 0x1f && bytes[restAt + 1] == 0x8b) {
                inflateReset(&z);
                continue;
            }
            break;
        }
        if (status == Z_BUF_ERROR && z.avail_in == 0 && inputAt == bytes.size()) break;  // input ended early
        if (status != Z_OK && status != Z_BUF_ERROR) {
            ok = !out.empty();  // a damaged tail keeps what came before it
            break;
        }
    }
    inflateEnd(&z);
    if (!ok) return std::nullopt;
    return out;
}

}  // namespace

ChunkedBody dechunk(const Data& bytes, std::size_t maxBody) {
    ChunkedBody result;
    auto all = bytes.stringView();
    std::vector<std::byte> body;
    std::size_t at = 0;
    auto stop = [&](std::string why) {
        result.problem = std::move(why);
        result.consumed = all.size();
    };
    while (true) {
        auto feed = all.find('\n', at);
        if (feed == std::string_view::npos) {
            stop("chunk size line incomplete");
            break;
        }
        // chunk-size [ chunk-ext ] CRLF
        std::uint64_t size = 0;
        std::size_t digits = 0, i = at;
        for (; i < feed; ++i) {
            int v = hexDigitValue(all[i]);
            if (v < 0) break;
            if (size > (std::numeric_limits<std::uint64_t>::max() >> 4)) {
                digits = 0;
                break;
            }
            size = size << 4 | static_cast<std::uint64_t>(v);
            ++digits;
        }
        if (digits == 0) {
            stop(i < feed && hexDigitValue(all[i]) >= 0 ? "chunk size does not fit in 64 bits" : "chunk size is not hexadecimal");
            break;
        }
        at = feed + 1;
        if (size == 0) {
            // trailer section: field lines up to an empty line
            while (true) {
                auto end = all.find('\n', at);
                if (end == std::string_view::npos) {
                    result.consumed = all.size();
                    result.problem = "trailer section incomplete";
                    break;
                }
                auto line = all.substr(at, end - at);
                at = end + 1;
                if (line.empty() || line == "\r") {
                    result.consumed = at;
                    result.complete = true;
                    break;
                }
            }
            break;
        }
        const std::size_t available = all.size() - at;
        const std::size_t take = size > available ? available : static_cast<std::size_t>(size);
        const std::size_t room = maxBody - body.size();
        if (take > room) result.cut = true;
        body.insert(body.end(), bytes.data() + at, bytes.data() + at + std::min(take, room));
        if (size > available) {
            stop("chunk runs past the end of the data");
            break;
        }
        at += take;
        // CRLF after the chunk's data
        if (all.substr(at, 2) == "\r\n") at += 2;
        else if (all.substr(at, 1) == "\n") at += 1;
    }
    result.body = Data(std::move(body));
    return result;
}

std::optional<Data> inflateBody(const Data& bytes, bool gzip, std::size_t maxOut, bool& cut) {
    if (bytes.empty()) return std::nullopt;
    std::optional<std::vector<std::byte>> out;
    if (gzip) {
        out = inflateWith(bytes, 15 + 32, maxOut, cut);  // gzip or zlib header, detected
    } else {
        out = inflateWith(bytes, 15, maxOut, cut);  // zlib-wrapped, as RFC 9110 means it
        if (!out) {
            cut = false;
            out = inflateWith(bytes, -15, maxOut, cut);  // raw deflate, as some servers send it
        }
    }
    if (!out) return std::nullopt;
    return Data(std::move(*out));
}

}  // namespace qor::standard::streams
