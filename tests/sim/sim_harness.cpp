#include "sim_harness.h"

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

bool Harness::log_has(std::string_view text) const {
    for (const std::string& line : sim_log(sim_)) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace zq::sim::test
