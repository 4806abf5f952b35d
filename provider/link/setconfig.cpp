#include "link/setconfig.h"

#include <algorithm>
#include <array>
#include <map>

#include "callmodel/calls.h"
#include "core/config.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/byte_reader.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/supervision.h"
#include "link/tqla.h"
#include "tapi/events.h"
#include "zq/platform.h"

namespace zq {

DownloadState g_dl;

namespace {

constexpr int kMaxStringId = 2;
constexpr int kMaxSoftKeyId = 6;
constexpr int kMaxCodeId = 6;
constexpr uint8_t kQr7DevType = 3;

// PBX language codes by the digit of the stored "Language" text.
constexpr std::array<uint8_t, 5> kLanguageCodes{1, 2, 4, 5, 6};
constexpr std::array<const char*, 5> kLanguageNames{"0: French", "1: English", "2: German", "3: Spanish",
                                                    "4: Italian"};

struct SpecialKind {
    uint32_t kind;
    const char* trace;
    const char* prefix;  // saved key text
};

constexpr std::array<SpecialKind, 4> kSpecialKinds = {{
    {KEY_SUPERV, "Superv     TouchId:%02d - :%s", "SU"},
    {KEY_PATRON, "Patron     TouchId:%02d - :%s", "EX"},
    {KEY_SECRETAIRE, "Secretaire TouchId:%02d - :%s", "SE"},
    {KEY_SECR_DEBORD, "Secretaire Debord TouchId:%02d - :%s", "RS"},
}};

void NextRequestWithCount(uint8_t code) {
    SendTQLARequest(code, static_cast<uint8_t>(g_dl.entriesReceived));
}

// Counts the entries of an answer; a list is complete once all that were
// announced have come (more than announced counts as complete too, so a
// generous PBX cannot stall the download).
bool ListComplete(int announced) {
    return g_dl.entriesReceived >= announced;
}

// After an INFO answer: true when the list is complete (the running count
// starts again at 0), else the next INFO request has been sent.
bool ListDone(int announced, uint8_t infoCode) {
    if (!ListComplete(announced)) {
        NextRequestWithCount(infoCode);
        return false;
    }
    g_dl.entriesReceived = 0;
    return true;
}

template <int N>
int SpecialAnnounced(const WorkingList<N>& w) {
    return w.announced;
}

int SpecialTotal() {
    return SpecialAnnounced(g_dl.newSuperv) + SpecialAnnounced(g_dl.newPatron) +
           SpecialAnnounced(g_dl.newSecretaire) + SpecialAnnounced(g_dl.newSecrDebord);
}

// Key descriptions by value name (T01 to T88), other names left out.
std::map<std::string, std::string> KeyDescriptions(std::vector<std::pair<std::string, std::string>> values) {
    std::map<std::string, std::string> keys;
    for (auto& [name, text] : values) {
        const bool keyName = name.size() == 3 && name[0] == 'T' && name[1] >= '0' && name[1] <= '9' &&
                             name[2] >= '0' && name[2] <= '9';
        if (keyName && ValidKey(static_cast<uint32_t>(DecimalValue(name.c_str() + 1))))
            keys.emplace(name, std::move(text));
    }
    return keys;
}

// The key descriptions stored under "Set_Des".
std::map<std::string, std::string> StoredKeyDescriptions() {
    return KeyDescriptions(ReadProviderValues("Set_Des"));
}

// Whether section "Set_Des" of the INI file still mirrors the registry: it
// may have been lost or edited while the registry stayed as it was.
bool IniMirrorsKeyDescriptions(const std::map<std::string, std::string>& stored) {
    return KeyDescriptions(plat::profile_read_section(kIniFile, "Set_Des")) == stored;
}

std::string KeyName(uint32_t key) {
    char name[8];
    std::snprintf(name, sizeof name, "T%02u", static_cast<unsigned>(key));
    return name;
}

// The stored text of a key: its kind's letters, then its label.
std::string KeyText(std::string_view kindPrefix, uint32_t key) {
    std::string text(kindPrefix);
    text.append(TextOf(g_line.TouchTable[key].Label));
    return text;
}

bool WriteKeyDescription(uint32_t key, const std::string& text) {
    const std::string name = KeyName(key);
    const bool reg = WriteProviderValue("Set_Des", name, text) != 0;
    const bool ini = plat::profile_write_string(kIniFile, "Set_Des", name, text);
    return reg && ini;
}

std::map<std::string, std::string> MultiDescriptions() {
    std::map<std::string, std::string> want;
    const KeyList<MAX_MULTILINE>& l = g_line.lists.MultiLineKeys;
    for (int i = 0; i < l.count; ++i) {
        const uint32_t key = l.keys[static_cast<size_t>(i)];
        want[KeyName(key)] = KeyText("M", key);
    }
    return want;
}

std::map<std::string, std::string> SpecialDescriptions() {
    std::map<std::string, std::string> want;
    const std::array<const KeyList<MAX_SPECIAL>*, 3> others{
        &g_line.lists.PatronKeys, &g_line.lists.SecretaireKeys, &g_line.lists.SecrDebordKeys};
    const auto add = [&](uint32_t key, const char* prefix) { want[KeyName(key)] = KeyText(prefix, key); };
    for (int i = 0; i < g_line.lists.SupervKeys.count; ++i)
        add(g_line.lists.SupervKeys.keys[static_cast<size_t>(i)], kSpecialKinds[0].prefix);
    for (size_t l = 0; l < others.size(); ++l)
        for (int i = 0; i < others[l]->count; ++i)
            add(others[l]->keys[static_cast<size_t>(i)], kSpecialKinds[l + 1].prefix);
    return want;
}

// The multiline keys are saved first, the special keys after them. A
// stored description that is already what the download gave is left as it
// is, so a restart with an unchanged set rewrites nothing.
void SaveMultilineKeys() {
    const auto want = MultiDescriptions();
    const auto stored = StoredKeyDescriptions();
    std::map<std::string, std::string> storedMulti, storedOther;
    for (const auto& [name, text] : stored)
        (text.starts_with("M") ? storedMulti : storedOther)[name] = text;
    const bool specialsFollow = g_lineSettings.TqlaVersion >= 3;
    if (storedMulti == want && (specialsFollow || storedOther.empty()) && IniMirrorsKeyDescriptions(stored)) {
        g_dl.setDesRewritten = false;
        return;
    }
    DeleteProviderSubkey("Set_Des");
    plat::profile_delete_section(kIniFile, "Set_Des");
    g_dl.setDesRewritten = true;
    bool ok = true;
    const KeyList<MAX_MULTILINE>& l = g_line.lists.MultiLineKeys;
    for (int i = 0; i < l.count; ++i) {
        const uint32_t key = l.keys[static_cast<size_t>(i)];
        ok = WriteKeyDescription(key, want.at(KeyName(key))) && ok;
    }
    if (!ok)
        TspTrace(TRACE_CONFIG, "Pb de sauvegarde config touch multi dans fichier ini");
}

void SaveSpecialKeys() {
    const auto want = SpecialDescriptions();
    if (!g_dl.setDesRewritten) {
        const auto stored = StoredKeyDescriptions();
        std::map<std::string, std::string> storedOther;
        for (const auto& [name, text] : stored)
            if (!text.starts_with("M"))
                storedOther[name] = text;
        if (storedOther == want && IniMirrorsKeyDescriptions(stored))
            return;
        // Stale special keys are stored: write the whole description again.
        g_dl.setDesRewritten = true;
        DeleteProviderSubkey("Set_Des");
        plat::profile_delete_section(kIniFile, "Set_Des");
        for (const auto& [name, text] : MultiDescriptions())
            WriteKeyDescription(static_cast<uint32_t>(DecimalValue(name.c_str() + 1)), text);
    }
    bool ok = true;
    for (const auto& [name, text] : want)
        ok = WriteKeyDescription(static_cast<uint32_t>(DecimalValue(name.c_str() + 1)), text) && ok;
    if (!ok)
        TspTrace(TRACE_CONFIG, "Pb de sauvegarde config touch spe dans fichier ini");
}

void ResetKey(uint32_t key) {
    TouchEntry& t = g_line.TouchTable[key];
    t.CrefSlot = {-1, -1};
    t.IconState = IDLE_ICON;
}

void PublishMultilineList() {
    const bool keep = PreviousDownloadExists() && g_line.lists.MultiLineKeys.count != 0;
    g_line.lists.MultiLineKeys = g_dl.newMulti;
    g_line.lists.MultiLineKeys.count = std::max(0, std::min(g_dl.NewMultiLineCount, MAX_MULTILINE));
    if (!keep) {
        for (int i = 0; i < g_line.lists.MultiLineKeys.count; ++i) {
            g_set.WaitInfo[static_cast<size_t>(i)] = -1;
            ResetKey(g_line.lists.MultiLineKeys.keys[static_cast<size_t>(i)]);
        }
    }
    for (int k = 1; k <= MAX_TOUCH; ++k)
        g_line.TouchTable[static_cast<size_t>(k)].Kind = g_dl.NewKind[static_cast<size_t>(k)];
}

template <int N>
void PublishSpecial(KeyList<N>& target, const WorkingList<N>& w, uint32_t kind) {
    target = w.list;
    const bool keepPossible = PreviousDownloadExists() && g_line.lists.MultiLineKeys.count != 0;
    for (int i = 0; i < target.count; ++i) {
        const uint32_t key = target.keys[static_cast<size_t>(i)];
        if (!(keepPossible && g_line.TouchTable[key].Kind == kind))
            ResetKey(key);
    }
}

void PublishSpecialLists() {
    PublishSpecial(g_line.lists.SupervKeys, g_dl.newSuperv, KEY_SUPERV);
    PublishSpecial(g_line.lists.PatronKeys, g_dl.newPatron, KEY_PATRON);
    PublishSpecial(g_line.lists.SecretaireKeys, g_dl.newSecretaire, KEY_SECRETAIRE);
    PublishSpecial(g_line.lists.SecrDebordKeys, g_dl.newSecrDebord, KEY_SECR_DEBORD);
    for (int k = 1; k <= MAX_TOUCH; ++k)
        g_line.TouchTable[static_cast<size_t>(k)].Kind = g_dl.NewKind[static_cast<size_t>(k)];
}

// AomOrder: the modules by ascending key offset; among equal offsets the
// module listed later comes first.
void ComputeAomOrder(int modules) {
    g_dl.AomOrder = {0, 1, 2};
    const auto offset = [](int i) { return g_set.AomTable[static_cast<size_t>(i)].offset; };
    if (modules < 2)
        return;
    if (offset(0) < offset(1))
        g_dl.AomOrder = {0, 1, 2};
    else
        g_dl.AomOrder = {1, 0, 2};
    if (modules < 3)
        return;
    const int first = g_dl.AomOrder[0], second = g_dl.AomOrder[1];
    const uint8_t small = offset(first), large = offset(second);
    if (large < offset(2))
        g_dl.AomOrder = {first, second, 2};
    else if (small < offset(2))
        g_dl.AomOrder = {first, 2, second};
    else
        g_dl.AomOrder = {2, first, second};
}

void LoadDiallingSettings() {
    std::array<char, 5> prefix{};
    const int found = ReadProviderValue("Prefix", "ExtPrefix", "", prefix);
    if (found > 0) {
        CopyText(g_lineSettings.ExtPrefix, TextOf(prefix));
        TspTrace(TRACE_CONFIG, "ExtPrefix lu:-%s-", g_lineSettings.ExtPrefix);
    } else {
        CopyText(g_lineSettings.ExtPrefix, "0");
        if (found == 0)
            WriteProviderValue("Prefix", "ExtPrefix", "0");
        TspTrace(TRACE_CONFIG, "ExtPrefix non trouve default:-%s-", g_lineSettings.ExtPrefix);
    }
    g_lineSettings.ExtPrefixDisp = ReadFlagValue("Prefix", "ExtPrefixDisp", false, true);
    g_line.EnqCallMode = ReadFlagValue("SetConfig", "EnquiryCallMode", false, true) ? 1 : 0;
    std::array<char, 25> digits{};
    const bool digitsFit = ReadProviderValue("SetConfig", "MaxDigitLocal", "", digits) >= 0;
    const int32_t max = DecimalValue(digits.data());
    if (max > 1 && max < 20) {
        g_lineSettings.MaxDigitLocalCall = max;
    } else {
        g_lineSettings.MaxDigitLocalCall = 8;
        if (digitsFit)
            WriteProviderValue("SetConfig", "MaxDigitLocal", "8");
    }
}

void CheckStoredLanguage() {
    std::array<char, 25> text{};
    const bool found = ReadProviderValue("SetConfig", "Language", "", text) > 0;
    const bool known = found && text[0] >= '0' && text[0] <= '4';
    if (!known || kLanguageCodes[static_cast<size_t>(text[0] - '0')] != g_dl.PbxLanguage) {
        TspTrace(TRACE_REGISTRY, "Langue PABX différente");
        g_dl.LanguageDiffers = true;
    }
}

void SaveLanguage() {
    const char* name = "Not listed";
    for (size_t i = 0; i < kLanguageCodes.size(); ++i)
        if (kLanguageCodes[i] == g_dl.PbxLanguage)
            name = kLanguageNames[i];
    if (WriteProviderValue("SetConfig", "Language", name) == 0)
        TspTrace(TRACE_CONFIG, "Pb sauvegarde langue dans fichier ini");
}

template <size_t N, size_t M>
bool SaveTable(const char* subkey, const std::array<const char*, N>& names,
               const std::array<std::array<char, M>, N>& values) {
    DeleteProviderSubkey(subkey);
    bool ok = true;
    for (size_t i = 0; i < N; ++i)
        ok = WriteProviderValue(subkey, names[i], TextOf(values[i])) != 0 && ok;
    return ok;
}

struct SaveTraces {
    const char* saved;
    const char* failed;
    const char* same;
};

template <size_t N, size_t M>
void SaveIfChanged(bool changed, const char* subkey, const std::array<const char*, N>& names,
                   const std::array<std::array<char, M>, N>& values, const SaveTraces& traces) {
    if (!changed) {
        TspTrace(TRACE_CONFIG, traces.same);
        return;
    }
    TspTrace(TRACE_CONFIG, traces.saved);
    if (!SaveTable(subkey, names, values))
        TspTrace(TRACE_CONFIG, traces.failed);
}

// The entries of a STRING_INFO_ACK, SK_INFO_ACK or CODE_INFO_ACK:
// [k] then k times [id][L][L bytes].
template <typename F>
int ForEachTextEntry(std::span<const uint8_t> payload, F onEntry) {
    ByteReader r{payload};
    const int k = r.U8();
    int parsed = 0;
    for (; parsed < k; ++parsed) {
        const uint8_t id = r.U8();
        const uint8_t len = r.U8();
        const std::span<const uint8_t> text = r.Take(len);
        if (!r.Ok()) {
            TspTrace(TRACE_ERROR, "TAPI_TQLA entry %d of %d cut short - ignored", parsed + 1, k);
            break;
        }
        onEntry(id, text);
    }
    return parsed;
}

// The adapter writes an answer again when it missed the acknowledgement;
// taken twice, a copy would count its entries twice or start the rest of
// the download a second time. A copy is the same code, sequence byte and
// payload as the answer taken last.
bool RepeatedAnswer(uint8_t code, uint8_t seq, std::span<const uint8_t> payload) {
    LastAnswer& last = g_dl.lastAnswer;
    if (last.valid && last.code == code && last.seq == seq && last.size == payload.size() &&
        std::equal(payload.begin(), payload.end(), last.payload.begin())) {
        TspTrace(TRACE_CONFIG, "TAPI_TQLA answer %d seq %d repeated - ignored", code, seq);
        return true;
    }
    last.valid = payload.size() <= last.payload.size();
    last.code = code;
    last.seq = seq;
    last.size = payload.size();
    if (last.valid)
        std::copy(payload.begin(), payload.end(), last.payload.begin());
    return false;
}

// The entries of a STRING_INFO_ACK, SK_INFO_ACK or CODE_INFO_ACK, counted
// as received; false for a repetition of the answer last taken.
template <typename F>
bool TakeTextEntries(uint8_t answerCode, uint8_t seq, std::span<const uint8_t> payload, F onEntry) {
    if (RepeatedAnswer(answerCode, seq, payload))
        return false;
    g_dl.entriesReceived += ForEachTextEntry(payload, onEntry);
    return true;
}

// A count answer (STRING_ACK, SK_ACK, CODE_ACK): a count of 0 ends the chain.
void StartList(uint8_t answerCode, uint8_t seq, std::span<const uint8_t> payload, int& announced,
               uint8_t infoCode) {
    if (RepeatedAnswer(answerCode, seq, payload))
        return;
    announced = ByteReader{payload}.U8();
    g_dl.entriesReceived = 0;
    if (announced != 0)
        SendTQLARequest(infoCode, 0);
}

}  // namespace

std::string NormaliseLabel(std::span<const uint8_t> text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    std::string out;
    for (; i < text.size(); ++i)
        out += text[i] < 0x20 ? '#' : static_cast<char>(TranslateDisplayChar(text[i]));
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

void ResetDownloadState() {
    g_dl.AssocAck = false;
    g_dl.ConfigComplete = false;
    g_dl.ReadyForCalls = false;
    g_dl.LanguageDiffers = false;
    g_dl.CodesChanged = false;
    g_dl.setDesRewritten = false;
}

void InitForwarding() {
    g_dl.FwdStatus = 4;
    g_dl.FwdDest.fill(0);
}

void StartSetConfiguration() {
    g_dl.requestCounters.fill(0);
    g_dl.StringsChanged = false;
    g_dl.SoftKeysChanged = false;
    g_dl.NewMultiLineCount = -1;
    g_dl.newSuperv = {};
    g_dl.newPatron = {};
    g_dl.newSecretaire = {};
    g_dl.newSecrDebord = {};
    g_dl.NewKind.fill(0);
    g_dl.entriesReceived = 0;
    g_dl.lastAnswer.valid = false;
    SendTQLARequest(TQLA_DEVICE_ASSOC);
}

void TqlaDeviceAssocAck(uint8_t, std::span<const uint8_t> payload) {
    ByteReader r{payload};
    r.U8();
    g_dl.PbxLanguage = r.U8();
    const uint8_t m = r.U8();
    const std::string mcdu(AsText(r.Take(m)).substr(0, g_lineSettings.Mcdu.size() - 1));
    if (!r.Ok()) {
        TspTrace(TRACE_ERROR, "DEVICE_ASSOC_ACK too short (%d bytes) - ignored", payload.size());
        return;
    }
    bool mcduChanged = false;
    if (mcdu != TextOf(g_lineSettings.Mcdu)) {
        TspTrace(TRACE_CONFIG, "NEW MCDU '%s' old '%s' ", mcdu, g_lineSettings.Mcdu);
        CopyText(g_lineSettings.Mcdu, mcdu);
        WriteProviderValue("SetConfig", "SetMCDU", mcdu);
        plat::profile_write_string(kIniFile, "SetConfig", "SetMCDU", mcdu);
        mcduChanged = true;
    }
    TspTrace(TRACE_CONFIG, "Language: %d - mcdu:%s lg_mcdu %d", g_dl.PbxLanguage, g_lineSettings.Mcdu, m);

    if (g_lineSettings.TqlaVersion > 1) {
        const uint8_t oldStatus = g_dl.FwdStatus;
        // A field the message does not carry keeps its value.
        const uint8_t devType = r.U8();
        const uint8_t enqCallMode = r.U8();
        const uint8_t status = r.U8();
        if (r.Ok()) {
            g_dl.DevType = devType;
            g_line.EnqCallMode = enqCallMode;
            g_dl.FwdStatus = status;
        }
        TspTrace(TRACE_CONFIG, "Dev_type 0x%02x multi mode %d Fwd status %d", g_dl.DevType,
                 g_line.EnqCallMode, g_dl.FwdStatus);
        if (g_superv.FwdGuard != 0) {
            if (g_dl.FwdStatus != 4) {
                TspTrace(TRACE_CALL, "modif renv acquitee par Pbx: envoi RAC ");
                const std::array<uint8_t, 2> releaseKey{0x20, 0x29};
                PostZQMsg(BuildFrame(FT_KEY, releaseKey).span());
            }
            g_superv.FwdGuard = 0;
        }
        uint8_t destLen = 0, destType = 0;
        g_dl.FwdDest.fill(0);
        if (g_dl.FwdStatus < 4) {
            destLen = r.U8();
            destType = r.U8();
            CopyText(g_dl.FwdDest, AsText(r.Take(destLen)));
        }
        TspTrace(TRACE_CONFIG, "Dest Fwd length %d typ %d Destaddr '%s'", destLen, destType, g_dl.FwdDest);
        if (g_dl.FwdStatus != oldStatus)
            DoLineEvent(LINE_ADDRESSSTATE, 0, LINEADDRESSSTATE_FORWARD, -1);

        for (AomEntry& aom : g_set.AomTable)
            aom = AomEntry{false, 255, false, 255};
        int modules = 0;
        while (r.Ok() && !r.AtEnd()) {
            const uint8_t first = r.U8();
            if (first == 0)
                break;
            const uint8_t offset = r.U8();
            if (!r.Ok())
                break;
            const auto address = static_cast<uint8_t>(first & 0x07);
            const bool aom20 = (first & 0x10) != 0;
            TspTrace(TRACE_CONFIG, "aom adr %d aom20 %d offset %d", address, aom20 ? 1 : 0, offset);
            if (modules < MAX_AOM)
                g_set.AomTable[static_cast<size_t>(modules++)] = AomEntry{true, address, aom20, offset};
        }
        ComputeAomOrder(modules);
    }

    if (g_dl.AssocAck)
        return;
    g_dl.AssocAck = true;
    if (g_lineSettings.TqlaVersion < 2 || g_dl.DevType == kQr7DevType)
        SendTQLARequest(TQLA_KEY);
    else
        TspTrace(TRACE_CONFIG, "Recup conf Dynamique - Poste non QR7 (ZQ 3861)");
    CheckStoredLanguage();
    // Without a stored configuration nothing else reads it, and the
    // supervision keys would stay dead until the next start.
    g_lineSettings.SupervService = ReadFlagValue("SetConfig", "SupervService", true, false);
    if (g_lineSettings.TqlaVersion == 1)
        LoadDiallingSettings();
    if (PreviousDownloadExists() && !mcduChanged)
        g_dl.ReadyForCalls = true;
    g_line.lineDevState = 2;
    DoLineEvent(LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE, 0, -1);
}

void TqlaKeyAck(uint8_t seq, std::span<const uint8_t> payload) {
    if (RepeatedAnswer(TQLA_KEY_ACK, seq, payload))
        return;
    ByteReader r{payload};
    g_dl.announcedMulti = r.U8();
    g_dl.NewMultiLineCount = 0;
    g_dl.newMulti = {};
    g_dl.entriesReceived = 0;
    if (g_dl.announcedMulti != 0) {
        SendTQLARequest(TQLA_KEY_INFO, 0);
    } else {
        TspTrace(TRACE_CONFIG, "Recup conf Dynamique - Poste non Multiligne");
        SendTQLARequest(TQLA_NOT_MULTILINE);
    }
}

void TqlaKeyInfoAck(uint8_t seq, std::span<const uint8_t> payload) {
    if (RepeatedAnswer(TQLA_KEY_INFO_ACK, seq, payload))
        return;
    ByteReader r{payload};
    const int k = r.U8();
    int parsed = 0;
    int included = 0;
    for (; parsed < k; ++parsed) {
        const uint8_t id = r.U8();
        const uint8_t len = r.U8();
        const std::span<const uint8_t> label = r.Take(len);
        r.U8();
        if (!r.Ok()) {
            TspTrace(TRACE_ERROR, "TAPI_TQLA entry %d of %d cut short - ignored", parsed + 1, k);
            break;
        }
        if (!ValidKey(id)) {
            TspTrace(TRACE_CONFIG, "TouchId:%d hors borne - non prise en compte", id);
            continue;
        }
        if (!AppendKey(g_dl.newMulti, id)) {
            TspTrace(TRACE_CONFIG, "TouchId:%d - liste pleine - non prise en compte", id);
            continue;
        }
        g_dl.NewKind[id] = KEY_MULTILIGNE;
        ++g_dl.NewMultiLineCount;
        ++included;
        CopyText(g_line.TouchTable[id].Label, AsText(label));
        TspTrace(TRACE_CONFIG, "TouchId:%d - :%s", id, g_line.TouchTable[id].Label);
    }
    g_dl.entriesReceived += parsed;
    TspTrace(TRACE_CONFIG, " nb_of_info_rcvd:%d - nb_touch_include:%d ", g_dl.entriesReceived, included);
    if (!ListDone(g_dl.announcedMulti, TQLA_KEY_INFO))
        return;
    const bool specialsFollow = g_lineSettings.TqlaVersion >= 3;
    SendTQLARequest(specialsFollow ? TQLA_KEY_SPE : TQLA_STRING);
    PublishMultilineList();
    // Without special keys in this version, those of an earlier start go.
    if (!specialsFollow)
        PublishSpecialLists();
    SaveMultilineKeys();
}

void TqlaKeySpeAck(uint8_t seq, std::span<const uint8_t> payload) {
    if (RepeatedAnswer(TQLA_KEY_SPE_ACK, seq, payload))
        return;
    ByteReader r{payload};
    g_dl.newSuperv = {{}, r.U8()};
    g_dl.newPatron = {{}, r.U8()};
    g_dl.newSecretaire = {{}, r.U8()};
    g_dl.newSecrDebord = {{}, r.U8()};
    g_dl.entriesReceived = 0;
    if (SpecialTotal() != 0) {
        SendTQLARequest(TQLA_KEY_SPE_INFO, 0);
        return;
    }
    SendTQLARequest(TQLA_STRING);
    // None announced: special keys of an earlier start are gone.
    PublishSpecialLists();
    SaveSpecialKeys();
}

void TqlaKeySpeInfoAck(uint8_t seq, std::span<const uint8_t> payload) {
    if (RepeatedAnswer(TQLA_KEY_SPE_INFO_ACK, seq, payload))
        return;
    ByteReader r{payload};
    const int k = r.U8();
    int parsed = 0;
    for (; parsed < k; ++parsed) {
        const uint8_t id = r.U8();
        const uint8_t kind = r.U8();
        const uint8_t len = r.U8();
        const std::span<const uint8_t> label = r.Take(len);
        if (!r.Ok()) {
            TspTrace(TRACE_ERROR, "TAPI_TQLA entry %d of %d cut short - ignored", parsed + 1, k);
            break;
        }
        if (!ValidKey(id)) {
            TspTrace(TRACE_CONFIG, "TouchId:%d hors borne - non prise en compte", id);
            continue;
        }
        const auto it = std::find_if(kSpecialKinds.begin(), kSpecialKinds.end(),
                                     [&](const SpecialKind& s) { return s.kind == kind; });
        if (it == kSpecialKinds.end()) {
            g_dl.NewKind[id] = kind;
            TspTrace(TRACE_CONFIG, "tou spe %d genr_tou %d inconnu", id, kind);
            continue;
        }
        bool appended = false;
        switch (kind) {
            case KEY_SUPERV:
                appended = AppendKey(g_dl.newSuperv.list, id);
                break;
            case KEY_PATRON:
                appended = AppendKey(g_dl.newPatron.list, id);
                break;
            case KEY_SECRETAIRE:
                appended = AppendKey(g_dl.newSecretaire.list, id);
                break;
            default:
                appended = AppendKey(g_dl.newSecrDebord.list, id);
                break;
        }
        // A key beyond its list's capacity keeps no kind either.
        if (!appended) {
            TspTrace(TRACE_CONFIG, "TouchId:%d - liste pleine - non prise en compte", id);
            continue;
        }
        g_dl.NewKind[id] = kind;
        CopyText(g_line.TouchTable[id].Label, AsText(label));
        TspTrace(TRACE_CONFIG, it->trace, id, g_line.TouchTable[id].Label);
    }
    g_dl.entriesReceived += parsed;
    if (!ListDone(SpecialTotal(), TQLA_KEY_SPE_INFO))
        return;
    SendTQLARequest(TQLA_STRING);
    PublishSpecialLists();
    SaveSpecialKeys();
}

void TqlaStringAck(uint8_t seq, std::span<const uint8_t> payload) {
    StartList(TQLA_STRING_ACK, seq, payload, g_dl.announcedStrings, TQLA_STRING_INFO);
}

void TqlaStringInfoAck(uint8_t seq, std::span<const uint8_t> payload) {
    if (!TakeTextEntries(TQLA_STRING_INFO_ACK, seq, payload, [](uint8_t id, std::span<const uint8_t> text) {
            if (id > kMaxStringId) {
                TspTrace(TRACE_CONFIG, "Reception d'une string d'ID > MAX_TA_STRING");
                return;
            }
            auto& entry = g_set.LcdString[id];
            const std::string label = NormaliseLabel(text).substr(0, LCDSTRING_LEN);
            if (!PreviousDownloadExists() || (!g_dl.StringsChanged && label != TextOf(entry)))
                g_dl.StringsChanged = true;
            CopyText(entry, label);
            TspTrace(TRACE_CONFIG, "StringId:%d - %s", id, entry);
        }))
        return;
    if (!ListDone(g_dl.announcedStrings, TQLA_STRING_INFO))
        return;
    SendTQLARequest(TQLA_SK);
}

void TqlaSkAck(uint8_t seq, std::span<const uint8_t> payload) {
    StartList(TQLA_SK_ACK, seq, payload, g_dl.announcedSoftKeys, TQLA_SK_INFO);
}

void TqlaSkInfoAck(uint8_t seq, std::span<const uint8_t> payload) {
    if (!TakeTextEntries(TQLA_SK_INFO_ACK, seq, payload, [](uint8_t id, std::span<const uint8_t> text) {
            if (id > kMaxSoftKeyId) {
                TspTrace(TRACE_CONFIG, "Reception d'une SK d'ID > MAX_TA_SK");
                return;
            }
            auto& entry = g_set.SoftKeyLabel[id];
            const std::string label = NormaliseLabel(text).substr(0, SOFTKEY_LABEL_LEN);
            if (!PreviousDownloadExists()) {
                g_dl.SoftKeysChanged = true;
            } else if (!g_dl.SoftKeysChanged && label != TextOf(entry)) {
                TspTrace(TRACE_CONFIG, "DIFF SkId:%d '%s'->'%s'", id, entry, label);
                g_dl.SoftKeysChanged = true;
            }
            CopyText(entry, label);
            TspTrace(TRACE_CONFIG, "SkId:%d - '%s'", id, entry);
        }))
        return;
    if (!ListDone(g_dl.announcedSoftKeys, TQLA_SK_INFO))
        return;
    SendTQLARequest(TQLA_CODE);
    g_lineSettings.WaitDynamicConfig = false;
    g_lineSettings.StaticConfig = false;
    g_dl.ReadyForCalls = true;
    if (g_dl.LanguageDiffers)
        SaveLanguage();
    SaveIfChanged(g_dl.SoftKeysChanged, "SoftKey_Des", kSoftKeyNames, g_set.SoftKeyLabel,
                  {"Sk sauvegardé ini - diff", "Pb de sauvegarde config sk dans fichier ini",
                   "Sk non sauvegardé ini - idem"});
    SaveIfChanged(g_dl.StringsChanged, "String_Des", kLcdStringNames, g_set.LcdString,
                  {"String sauvegardé ini - diff", "Pb de sauvegarde config string dans fichier ini",
                   "String non sauvegardé ini - idem"});
}

void TqlaCodeAck(uint8_t seq, std::span<const uint8_t> payload) {
    StartList(TQLA_CODE_ACK, seq, payload, g_dl.announcedCodes, TQLA_CODE_INFO);
}

void TqlaCodeInfoAck(uint8_t seq, std::span<const uint8_t> payload) {
    if (!TakeTextEntries(TQLA_CODE_INFO_ACK, seq, payload, [](uint8_t id, std::span<const uint8_t> text) {
            if (id > kMaxCodeId) {
                TspTrace(TRACE_CONFIG, "Reception d'un code d'ID (%d) > MAX_TA_CODE (%d)", id, kMaxCodeId);
                return;
            }
            auto& entry = g_set.ServiceCode[id];
            const std::string_view code = AsText(text).substr(0, SERVICECODE_LEN);
            if (code != TextOf(entry)) {
                CopyText(entry, code);
                g_dl.CodesChanged = true;
            }
            TspTrace(TRACE_CONFIG, "CodeId:%d - %s", id, entry);
        }))
        return;
    if (ListDone(g_dl.announcedCodes, TQLA_CODE_INFO)) {
        g_dl.ConfigComplete = true;
        TspTrace(TRACE_CONFIG, " Set Configuration processed - OK ******************");
        if (g_dl.CodesChanged) {
            TspTrace(TRACE_CONFIG, " Sauvegarde codes dans fic ini");
            if (!SaveTable("Service_Code", kServiceCodeNames, g_set.ServiceCode))
                TspTrace(TRACE_CONFIG, "Pb de sauvegarde config code dans fichier ini");
            g_dl.CodesChanged = false;
        }
    }
    RecordLastAction("success");
}

}  // namespace zq
