// The setup dialogs in the terminal: each dialog is printed as text with
// its values, and the user's choices are read from standard input, one a
// line. The end of the input is Cancel.
#include <link.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "setup/model.h"
#include "zq/utf16.h"

namespace zq::setup {
namespace {

// A longer line is no answer; the rest of it is dropped.
constexpr size_t kMaxInputLine = 256;

// The next line typed, without its end; nullopt at the end of the input.
std::optional<std::string> ReadLine() {
    std::string line;
    bool any = false;
    for (int c; (c = std::fgetc(stdin)) != EOF;) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() <= kMaxInputLine)
            line.push_back(static_cast<char>(c));
    }
    if (!any)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return "";
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Text from the provider or the user, with control characters replaced,
// so that it cannot drive the terminal.
std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

// The line name for a UTF-8 terminal, control characters shown as '?'.
std::string Utf8(std::u16string_view text) {
    return Printable(WideToUtf8(text));
}

void Prompt(const char* text) {
    std::printf("%s", text);
    std::fflush(stdout);
}

// The help pages lie beside the provider's library. The dialogs may run in
// a private copy of it elsewhere, so every library of the process is a
// place to look.
int FindBeside(dl_phdr_info* info, size_t, void* data) {
    auto* found = static_cast<std::pair<std::string, std::filesystem::path>*>(data);
    if (info->dlpi_name == nullptr || *info->dlpi_name == '\0')
        return 0;
    std::error_code error;
    const auto page = std::filesystem::path(info->dlpi_name).parent_path() / found->first;
    if (!std::filesystem::is_regular_file(page, error))
        return 0;
    found->second = std::filesystem::absolute(page, error).lexically_normal();
    return 1;
}

void Help(const char* page, uint32_t context) {
    std::pair<std::string, std::filesystem::path> found{page != nullptr ? page : "", {}};
    dl_iterate_phdr(FindBeside, &found);
    const std::string target = HelpTarget(page, context);
    if (found.second.empty())
        std::printf("Help: %s, beside the provider's library (not installed here)\n", target.c_str());
    else
        std::printf("Help: file://%s%s\n", found.second.c_str(), target.substr(found.first.size()).c_str());
}

// ---------------------------------------------------------- main dialog

void ShowMain(const MainDialog& d) {
    std::printf("\nVELMORA TSPI CONFIGURATION\n");
    std::printf("  Communications\n    COM Port:%s\n", d.ports.empty() ? " none can be opened" : "");
    for (size_t i = 0; i < d.ports.size(); ++i)
        std::printf("      %zu  %s%s\n", i + 1, d.ports[i].c_str(),
                    static_cast<int>(i) == d.selected ? "  <- selected" : "");
    std::printf("    Error Messages Language: %s (fixed)\n", d.language.c_str());
    std::printf("  Telephony\n");
    std::printf("    System      : %s\n", d.system.c_str());
    std::printf("    Terminal    : %s\n", d.terminal.c_str());
    std::printf("    TAPI Line   : %s\n", Utf8(d.lineName).c_str());
    std::printf("    TSPI Version      : %s\n", Printable(d.versionText).c_str());
    std::printf("    PC Tel. Version   : %s\n", d.adapterEnabled ? d.adapterText.c_str() : "(not known)");
}

// The port typed: its number in the list or its name; -1 when neither.
int PortChoice(const MainDialog& d, const std::string& answer) {
    for (size_t i = 0; i < d.ports.size(); ++i)
        if (answer == std::to_string(i + 1) || answer == Lower(d.ports[i]))
            return static_cast<int>(i);
    return -1;
}

int TerminalMain(MainDialog& d, const std::function<void()>& advanced) {
    ShowMain(d);
    for (;;) {
        Prompt(d.advancedEnabled ? "Port number, a Advanced, o or Enter OK, c Cancel, h Help: "
                                 : "Port number, o or Enter OK, c Cancel, h Help: ");
        const std::optional<std::string> line = ReadLine();
        if (!line) {
            std::printf("\n");
            return DIALOG_CANCEL;
        }
        const std::string answer = Lower(Trimmed(*line));
        if (answer.empty() || answer == "o" || answer == "ok")
            return DIALOG_OK;
        if (answer == "c" || answer == "cancel")
            return DIALOG_CANCEL;
        if (answer == "h" || answer == "help") {
            Help(kHelpMain, HELP_MAIN_CONTEXT);
        } else if (answer == "a" && d.advancedEnabled) {
            advanced();
            ShowMain(d);
        } else if (const int port = PortChoice(d, answer); port >= 0) {
            d.selected = port;
            std::printf("COM Port: %s\n", d.ports[static_cast<size_t>(port)].c_str());
        } else {
            std::printf("'%s' is none of the choices\n", Printable(answer).c_str());
        }
    }
}

// ------------------------------------------------------ advanced dialog

void ShowAdvanced(const AdvancedDialog& d) {
    std::printf("\nV6200 TSPI CONFIGURATION\n");
    std::printf("  Outside Call\n");
    std::printf("    1  Outside call prefix               : %s  (up to %zu characters)\n",
                Printable(d.prefix).c_str(), PREFIX_KEPT_CHARS);
    std::printf("    2  Prefix displayed on incoming call : %s  (y or n)\n", d.prefixDisplayed ? "y" : "n");
    std::printf("  Internal Call\n");
    std::printf("    3  Max Number of digits              : %s  (%d to %d)\n", Printable(d.digits).c_str(),
                MAX_DIGITS_LOW, MAX_DIGITS_HIGH);
    std::printf("  Multiline Mode\n");
    std::printf("    4  %s  (k Key System Mode, p PBX Mode (enquiry on same line))\n",
                d.pbxMode ? "PBX Mode (enquiry on same line)" : "Key System Mode");
}

// One field's new value; false when the input ended.
bool EditField(AdvancedDialog& d, int field) {
    static constexpr std::array<const char*, 4> kAsk{
        "Outside call prefix (Enter keeps it): ", "Prefix displayed on incoming call, y or n: ",
        "Max Number of digits: ", "k Key System Mode, p PBX Mode: "};
    Prompt(kAsk[static_cast<size_t>(field - 1)]);
    const std::optional<std::string> line = ReadLine();
    if (!line)
        return false;
    const std::string value = Trimmed(*line);
    const std::string answer = Lower(value);
    if (value.empty())
        return true;
    switch (field) {
        case 1:
            if (value.size() > PREFIX_KEPT_CHARS)
                std::printf("A prefix has at most %zu characters; it is kept\n", PREFIX_KEPT_CHARS);
            else
                d.prefix = value;
            break;
        case 2:
            if (answer == "y" || answer == "n")
                d.prefixDisplayed = answer == "y";
            break;
        case 3:
            // Taken as typed: OK ignores what is not a count from 2 to 19.
            d.digits = value.substr(0, kPrefixEditChars);
            break;
        default:
            if (answer == "k" || answer == "p")
                d.pbxMode = answer == "p";
            break;
    }
    return true;
}

int TerminalAdvanced(AdvancedDialog& d) {
    ShowAdvanced(d);
    for (;;) {
        Prompt("Field 1-4 to change, d Defaults, o or Enter OK, c Cancel, h Help: ");
        const std::optional<std::string> line = ReadLine();
        if (!line) {
            std::printf("\n");
            return DIALOG_CANCEL;
        }
        const std::string answer = Lower(Trimmed(*line));
        if (answer.empty() || answer == "o" || answer == "ok")
            return DIALOG_OK;
        if (answer == "c" || answer == "cancel")
            return DIALOG_CANCEL;
        if (answer == "h" || answer == "help") {
            Help(kHelpAdvanced, HELP_ADVANCED_CONTEXT);
        } else if (answer == "d" || answer == "defaults") {
            d = AdvancedDefaults();
            ShowAdvanced(d);
        } else if (answer.size() == 1 && answer[0] >= '1' && answer[0] <= '4') {
            if (!EditField(d, answer[0] - '0')) {
                std::printf("\n");
                return DIALOG_CANCEL;
            }
            ShowAdvanced(d);
        } else {
            std::printf("'%s' is none of the choices\n", Printable(answer).c_str());
        }
    }
}

}  // namespace

SetupView PlatformView(HWND owner) {
    SetupView view;
    view.main = TerminalMain;
    view.advanced = TerminalAdvanced;
    view.help = Help;
    view.owner = owner;
    return view;
}

}  // namespace zq::setup
