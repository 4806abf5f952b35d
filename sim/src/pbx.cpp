#include "pbx.h"

#include <algorithm>

namespace zq::sim {

namespace {

void put_label(TqlaMessage& m, const Label& label) {
    tqla_put(m, label.size);
    tqla_put_bytes(m, {label.bytes.data(), label.size});
}

void begin_answer(const SetDescription& set, uint16_t code, uint8_t sequence, TqlaMessage* answer) {
    tqla_begin(*answer, set.tqla_version, code, sequence);
}

bool count_answer(const SetDescription& set, uint16_t code, uint8_t sequence, uint8_t count,
                  TqlaMessage* answer) {
    begin_answer(set, code, sequence, answer);
    tqla_put(*answer, count);
    return tqla_finish(*answer);
}

// Entry layouts of the INFO answers.
size_t key_entry_size(const SetKey& key) {
    return 3u + key.label.size;  // id, length, label, one byte not read
}

void put_key_entry(TqlaMessage& m, const SetKey& key) {
    tqla_put(m, key.id);
    put_label(m, key.label);
    tqla_put(m, 0);
}

size_t special_entry_size(const SetKey& key) {
    return 3u + key.label.size;  // id, kind, length, label
}

void put_special_entry(TqlaMessage& m, const SetKey& key) {
    tqla_put(m, key.id);
    tqla_put(m, key.kind);
    put_label(m, key.label);
}

size_t text_entry_size(const SetText& text) {
    return 2u + text.text.size;  // id, length, text
}

void put_text_entry(TqlaMessage& m, const SetText& text) {
    tqla_put(m, text.id);
    put_label(m, text.text);
}

// [k] then k entries from `start`: as many as the list's per-answer
// setting allows and the message holds.
template <typename Entry, size_t N, typename Size, typename Put>
bool info_answer(const SetDescription& set, uint16_t code, uint8_t sequence, std::span<const uint8_t> payload,
                 const std::array<Entry, N>& list, uint8_t count, SetList which, Size entry_size,
                 Put put_entry, TqlaMessage* answer) {
    const size_t start = payload.empty() ? 0 : payload[0];
    if (start >= count) {
        return false;
    }
    const size_t per_answer = set.per_answer[static_cast<size_t>(which)];
    const size_t limit = per_answer == 0 ? count : std::min<size_t>(count, start + per_answer);
    begin_answer(set, code, sequence, answer);
    const size_t k_position = answer->size;
    tqla_put(*answer, 0);
    uint8_t k = 0;
    for (size_t i = start; i < limit && entry_size(list[i]) <= tqla_room(*answer); ++i) {
        put_entry(*answer, list[i]);
        ++k;
    }
    if (k == 0) {
        return false;
    }
    answer->bytes[k_position] = k;
    return tqla_finish(*answer);
}

uint8_t special_count(const SetDescription& set, uint8_t kind) {
    uint8_t n = 0;
    for (size_t i = 0; i < set.special_count; ++i) {
        n = static_cast<uint8_t>(n + (set.specials[i].kind == kind ? 1 : 0));
    }
    return n;
}

}  // namespace

bool pbx_device_assoc_ack(const SetDescription& set, uint8_t sequence, TqlaMessage* answer) {
    begin_answer(set, kTqlaDeviceAssocAck, sequence, answer);
    tqla_put(*answer, 0);
    tqla_put(*answer, set.language);
    put_label(*answer, set.mcdu);
    if (set.tqla_version > 1) {
        tqla_put(*answer, set.device_type);
        tqla_put(*answer, set.enquiry_mode);
        tqla_put(*answer, set.forward_status);
        if (set.forward_status < 4) {
            tqla_put(*answer, set.forward_destination.size);
            tqla_put(*answer, set.forward_type);
            tqla_put_bytes(*answer, {set.forward_destination.bytes.data(), set.forward_destination.size});
        }
        for (size_t i = 0; i < set.module_count; ++i) {
            const SetModule& module = set.modules[i];
            tqla_put(*answer, static_cast<uint8_t>((module.address & 0x07) | (module.aom20 ? 0x10 : 0)));
            tqla_put(*answer, module.offset);
        }
        tqla_put(*answer, 0);
    }
    return tqla_finish(*answer);
}

bool pbx_answer(const SetDescription& set, const TqlaHeader& request, std::span<const uint8_t> payload,
                TqlaMessage* answer) {
    const uint8_t seq = request.sequence;
    switch (request.code) {
        case kTqlaDeviceAssoc:
            return pbx_device_assoc_ack(set, seq, answer);
        case kTqlaKey:
            return count_answer(set, kTqlaKeyAck, seq, set.key_count, answer);
        case kTqlaKeyInfo:
            return info_answer(set, kTqlaKeyInfoAck, seq, payload, set.keys, set.key_count, SetList::Key,
                               key_entry_size, put_key_entry, answer);
        case kTqlaKeySpe:
            begin_answer(set, kTqlaKeySpeAck, seq, answer);
            for (uint8_t kind = kKindSuperv; kind <= kKindSecretaryOverflow; ++kind) {
                tqla_put(*answer, special_count(set, kind));
            }
            return tqla_finish(*answer);
        case kTqlaKeySpeInfo:
            return info_answer(set, kTqlaKeySpeInfoAck, seq, payload, set.specials, set.special_count,
                               SetList::Special, special_entry_size, put_special_entry, answer);
        case kTqlaString:
            return count_answer(set, kTqlaStringAck, seq, set.string_count, answer);
        case kTqlaStringInfo:
            return info_answer(set, kTqlaStringInfoAck, seq, payload, set.strings, set.string_count,
                               SetList::String, text_entry_size, put_text_entry, answer);
        case kTqlaSk:
            return count_answer(set, kTqlaSkAck, seq, set.softkey_count, answer);
        case kTqlaSkInfo:
            return info_answer(set, kTqlaSkInfoAck, seq, payload, set.softkeys, set.softkey_count,
                               SetList::SoftKey, text_entry_size, put_text_entry, answer);
        case kTqlaCode:
            return count_answer(set, kTqlaCodeAck, seq, set.code_count, answer);
        case kTqlaCodeInfo:
            return info_answer(set, kTqlaCodeInfoAck, seq, payload, set.codes, set.code_count, SetList::Code,
                               text_entry_size, put_text_entry, answer);
        default:
            return false;  // request 4 and anything unknown get no answer
    }
}

}  // namespace zq::sim
