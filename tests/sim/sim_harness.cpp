#include "sim_harness.h"

#include <cstdio>
#include <numeric>

namespace zq::sim::test {

Bytes frame(uint8_t type, const Bytes& body) {
    Bytes f;
    f.reserve(body.size() + 3);
    f.push_back(static_cast<uint8_t>(body.size() + 1));
    f.push_back(type);
    for (uint8_t b : body)
        f.push_back(b);
    const unsigned sum = std::accumulate(f.begin(), f.end(), 0u);
    f.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    return f;
}

Bytes text_bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes label(std::string_view text) {
    Bytes b;
    b.reserve(text.size() + 1);
    b.push_back(static_cast<uint8_t>(text.size()));
    for (char c : text)
        b.push_back(static_cast<uint8_t>(c));
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Bytes> split_frames(const Bytes& bytes) {
    std::vector<Bytes> frames;
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t n = std::min<size_t>(bytes[at] + 2u, bytes.size() - at);
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
    return frames;
}

Bytes tqla_request(uint16_t code, uint8_t sequence, const Bytes& payload) {
    const size_t length = 6 + payload.size();
    Bytes message{static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF), 2,
                  static_cast<uint8_t>(code >> 8),   static_cast<uint8_t>(code & 0xFF),   sequence};
    return message + payload;
}

Harness::Harness(const SetDescription& set) : sim_(sim_create(set)) {}

Harness::~Harness() {
    sim_destroy(sim_);
}

Bytes Harness::send(const Bytes& bytes) {
    sim_receive(sim_, bytes, now_);
    return sim_take_output(sim_);
}

Bytes Harness::advance(uint32_t ms) {
    now_ += ms;
    sim_tick(sim_, now_);
    return sim_take_output(sim_);
}

void Harness::open_link() {
    sim_adapter(sim_).idle_display = false;
    EXPECT_EQ(send({0x02, 0x60, 0x85, 0x19}), Bytes{});
    EXPECT_EQ(send(kPoll), kPoll);
    EXPECT_EQ(send({0x03, 0x60, 0x10, 0x03, 0x8A}), (Bytes{0x02, 0x60, 0x10, 0x8E}));
    const Bytes response = send({0x02, 0x60, 0x11, 0x8D});
    EXPECT_EQ(split_frames(response).size(), 1u);
    sim_take_log(sim_);
}

// The provider's reassembly: the first segment gives the total counted
// with the type byte and the number of segments; each following one must
// carry the count still to follow; the rebuilt bytes must start with 0x12
// and fill the total exactly.
Answer Harness::request(uint16_t code, const Bytes& payload) {
    Answer answer;
    const uint8_t seq = sequence_[code % sequence_.size()]++;
    Bytes out = send(frame(0x12, tqla_request(code, seq, payload)));
    Bytes rebuilt;
    size_t total = 0;
    size_t expected = 0;
    size_t received = 0;
    bool first_ack_seen = false;
    for (int guard = 0; guard < 300 && !out.empty(); ++guard) {
        const std::vector<Bytes> frames = split_frames(out);
        out.clear();
        for (const Bytes& f : frames) {
            if (f == kAck && !first_ack_seen) {
                first_ack_seen = true;
                continue;
            }
            EXPECT_EQ(std::accumulate(f.begin(), f.end(), 0u) & 0xFF, 0u) << "checksum";
            EXPECT_GE(f.size(), 3u);
            if (f.size() < 3) {
                return answer;
            }
            ++answer.frames;
            const uint8_t type = f[1];
            const size_t l = f[0];
            if (type == 0x12) {
                answer.message.assign(f.begin() + 2, f.end() - 1);
                answer.received = true;
            } else if (type == 0x0C) {
                const uint8_t header = f[2];
                if ((header & 0x80) != 0) {
                    total = static_cast<size_t>(f[3] << 8 | f[4]);
                    expected = (header & 0x7Fu) + 1;
                    rebuilt.assign(f.begin() + 5, f.begin() + static_cast<std::ptrdiff_t>(l + 1));
                    received = 1;
                } else {
                    EXPECT_EQ(expected, (header & 0x7Fu) + received + 1) << "segment out of order";
                    rebuilt.insert(rebuilt.end(), f.begin() + 3,
                                   f.begin() + static_cast<std::ptrdiff_t>(l + 1));
                    ++received;
                }
                if (received == expected) {
                    EXPECT_EQ(rebuilt.size(), total);
                    EXPECT_FALSE(rebuilt.empty());
                    if (!rebuilt.empty() && rebuilt[0] == 0x12 && rebuilt.size() == total) {
                        answer.message.assign(rebuilt.begin() + 1, rebuilt.end());
                        answer.received = true;
                    }
                }
            } else {
                ADD_FAILURE() << "unexpected frame type " << int{type};
            }
            // One data frame at a time: nothing more until it is acknowledged.
            EXPECT_EQ(&f, &frames.back()) << "a second frame went out before the ACK";
            out = send(kAck);
        }
    }
    EXPECT_TRUE(first_ack_seen) << "the request was not acknowledged";
    return answer;
}

namespace {

std::string hex4(unsigned word) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%04X", word);
    return text.data();
}

std::string quoted_text(const Bytes& bytes, size_t from) {
    std::string text(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size())), bytes.end());
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return "'" + text + "'";
}

// Soft-key fields at columns 0, 8, 16, 24, 32.
std::string soft_keys(const std::string& line) {
    std::string fields;
    std::string text = line;
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    for (size_t column = 0; column < text.size(); column += 8) {
        std::string field = text.substr(column, 8);
        while (!field.empty() && field.back() == ' ') {
            field.pop_back();
        }
        fields += (column == 0 ? "" : ",") + (field.empty() ? std::string("-") : field);
    }
    return "[" + fields + "]";
}

// [length][bytes] at `at`; "" past the end.
std::string counted(const Bytes& p, size_t& at) {
    if (at >= p.size()) {
        return {};
    }
    const size_t n = std::min<size_t>(p[at], p.size() - at - 1);
    std::string text(p.begin() + static_cast<std::ptrdiff_t>(at + 1),
                     p.begin() + static_cast<std::ptrdiff_t>(at + 1 + n));
    at += 1 + n;
    return text;
}

// Address length, flags, address: "2005/01".
std::string address(const Bytes& p, size_t& at) {
    if (at + 2 > p.size()) {
        return "?";
    }
    const size_t n = std::min<size_t>(p[at], p.size() - at - 2);
    const uint8_t flags = p[at + 1];
    std::string text(p.begin() + static_cast<std::ptrdiff_t>(at + 2),
                     p.begin() + static_cast<std::ptrdiff_t>(at + 2 + n));
    at += 2 + n;
    std::array<char, 4> f{};
    std::snprintf(f.data(), f.size(), "%02X", flags);
    return text + "/" + f.data();
}

std::string tqla_words(const Bytes& message) {
    if (message.size() < 6) {
        return "TQLA short";
    }
    const unsigned code = static_cast<unsigned>(message[3] << 8 | message[4]);
    const Bytes p(message.begin() + 6, message.end());
    size_t at = 2;
    const std::string key = p.empty() ? "?" : std::to_string(p[0]);
    switch (code) {
        case 23: {
            const std::string caller = address(p, at);
            const std::string name = counted(p, at);
            const std::string called = address(p, at);
            const std::string called_name = counted(p, at);
            return "ICI " + key + " " + caller + " '" + name + "' to " + called.substr(0, called.find('/')) +
                   (called_name.empty() ? "" : " '" + called_name + "'");
        }
        case 24:
        case 25: {
            const std::string party = address(p, at);
            return std::string(code == 24 ? "OCI " : "CCI ") + key + " " + party + " '" + counted(p, at) +
                   "'";
        }
        case 28:
            return "TRANSFERED " + key;
        case 3: {
            // 0, language, mcdu, devtype, enquiry, forwarding status [dest length, type, dest].
            size_t pos = 2;
            counted(p, pos);
            pos += 2;
            if (pos >= p.size()) {
                return "DEVICE_ASSOC_ACK";
            }
            const unsigned status = p[pos];
            std::string text = "DEVICE_ASSOC_ACK forward " + std::to_string(status);
            if (status < 4 && pos + 2 < p.size()) {
                const size_t n = std::min<size_t>(p[pos + 1], p.size() - pos - 3);
                text += " '" +
                        std::string(p.begin() + static_cast<std::ptrdiff_t>(pos + 3),
                                    p.begin() + static_cast<std::ptrdiff_t>(pos + 3 + n)) +
                        "'";
            }
            return text;
        }
        default:
            return "TQLA " + std::to_string(code);
    }
}

std::string frame_words(const Bytes& f, Reassembler& segments) {
    const uint8_t type = f[1];
    const Bytes body(f.begin() + 2, f.end() - 1);
    if (type == 0x61 && body.size() >= 4 && body[0] == 0x47) {
        return "I " + std::to_string(body[1]) + "=" + hex4(static_cast<unsigned>(body[3] << 8 | body[2]));
    }
    if (type == 0x61 && body.size() >= 3 && (body[0] == 0x27 || body[0] == 0x28)) {
        const std::string line = body[0] == 0x27 ? "D0 " : "D1 ";
        const std::string append = (body[1] & 3) == 2 ? "+" : "";
        if (body[0] == 0x28 && append.empty()) {
            return line + soft_keys(std::string(body.begin() + 3, body.end()));
        }
        return line + append + quoted_text(body, 3);
    }
    if (type == 0x63 && body.size() >= 5 && body[1] == 0x47) {
        return "M " + std::to_string(body[0]) + ":" + std::to_string(body[2]) + "=" +
               hex4(static_cast<unsigned>(body[4] << 8 | body[3]));
    }
    if (type == 0x62 || type == 0x64) {
        std::string text = type == 0x62 ? "U" : "U64";
        for (const uint8_t b : body) {
            text += " " + hex4(b).substr(2);
        }
        return text;
    }
    if (type == 0x12) {
        return tqla_words(body);
    }
    if (type == 0x0C) {
        if (reassembler_add(segments, body) == SegmentResult::Complete) {
            const auto message = reassembled_message(segments);
            return tqla_words(Bytes(message.begin() + 1, message.end()));
        }
        return {};
    }
    return "frame " + std::to_string(type);
}

}  // namespace

std::vector<std::string> Harness::shown(Bytes out) {
    std::vector<std::string> words;
    Reassembler segments;
    for (int guard = 0; guard < 500 && !out.empty(); ++guard) {
        Bytes next;
        for (const Bytes& f : split_frames(out)) {
            if (f.size() < 3 || f[1] == 0x60) {
                continue;  // the adapter's acknowledgements
            }
            const std::string text = frame_words(f, segments);
            if (!text.empty()) {
                words.push_back(text);
            }
            next = next + send(kAck);
        }
        out = next;
    }
    return words;
}

bool Harness::log_has(std::string_view text) const {
    for (const std::string& line : sim_log(sim_)) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace zq::sim::test
