// tarvexctl: makes, shows and extracts application images and creates, shows and changes
// configuration files, with the same checks and limits as the tool and its configuration
// dialog. Exit status: 0 success, 1 a file was refused or could not be written (nothing
// changed), 2 usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "encfile/AppImage.h"
#include "encfile/EncFile.h"
#include "encfile/SystemConfig.h"
#include "platform/CString.h"
#include "platform/Kernel.h"
#include "encfile/ToolDir.h"
#include "tools/tarvexctl/Cli.h"
#include "tools/tarvexctl/Field.h"
#include "upgrade/EventJson.h"
#ifdef _WIN32
#include "platform/win32/Win32Api.h"
#endif

namespace fs = std::filesystem;
using namespace tarvexctl;

namespace {

constexpr int kOk = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;
// The configuration dialog's limits.
constexpr int kMaxTitle = 100;
constexpr int kMaxPassword = 100;

// ---- output ------------------------------------------------------------------------------


// One flat JSON object, or "name: value" lines, in the order the fields are added.
class Report
{
public:
    explicit Report(bool json) : m_json(json) {}
    void Text(const std::string& key, const std::string& value, const std::string& plain = {})
    {
        Add(key, JsonString(value), plain.empty() ? value : plain);
    }
    void Text(const std::string& key, const CString& value) { Add(key, JsonString(value), value.ToUtf8()); }
    // A file name field: the plain form is the very bytes it names on disk.
    void FileName(const std::string& key, const CString& value) { Add(key, JsonString(value), value.ToUtf8Escaped()); }
    void Number(const std::string& key, unsigned long long value, const std::string& plain = {})
    {
        Add(key, std::to_string(value), plain.empty() ? std::to_string(value) : plain);
    }
    void Bool(const std::string& key, bool value) { Add(key, value ? "true" : "false", value ? "yes" : "no"); }
    void Print() const
    {
        if (m_json) {
            std::string s = "{";
            for (std::size_t i = 0; i < m_rows.size(); ++i)
                s += (i ? ", " : "") + JsonString(m_rows[i].key) + ": " + m_rows[i].json;
            std::cout << s << "}\n";
        } else {
            std::size_t width = 0;
            for (const auto& r : m_rows) width = std::max(width, r.key.size());
            for (const auto& r : m_rows)
                std::cout << r.key << ":" << std::string(width + 2 - r.key.size(), ' ') << r.plain << "\n";
        }
    }

private:
    struct Row {
        std::string key, json, plain;
    };
    void Add(const std::string& key, std::string json, std::string plain)
    {
        m_rows.push_back({key, std::move(json), std::move(plain)});
    }
    bool m_json;
    std::vector<Row> m_rows;
};

std::string Hex4(unsigned long v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04lX", v);
    return buf;
}

// The single-byte name field: up to the first zero, each byte taken as Latin-1.
std::string NameField(const char* p, std::size_t n)
{
    std::size_t len = 0;
    while (len < n && p[len]) ++len;
    return CString::FromAnsi(p, len).ToUtf8();
}

CString TextField(const WCHAR* p) { return CString(p, static_cast<int>(WcsNLen(p, CONFIG_TEXT_UNITS))); }

std::string UtcTime(DWORD t)
{
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
#ifdef _WIN32
    if (gmtime_s(&tm, &tt) != 0) return "?";
#else
    if (!gmtime_r(&tt, &tm)) return "?";
#endif
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// ---- files -------------------------------------------------------------------------------

CString WinPath(const std::string& native) { return platform::WindowsPath(native); }


// An input file, opened the way the tool opens its files: regular files only, no waiting
// on a FIFO. The reason for a refusal names what the path is.
struct InputFile {
    explicit InputFile(const std::string& path) : m_path(path)
    {
        m_h = CreateFileW(WinPath(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (m_h != INVALID_HANDLE_VALUE) return;
        std::error_code ec;
        auto st = fs::status(U8(path), ec);
        if (fs::is_directory(st)) throw Refused{path + ": is a directory"};
        if (fs::exists(st) && !fs::is_regular_file(st)) throw Refused{path + ": not a regular file"};
        throw Refused{path + ": cannot open"};
    }
    ~InputFile() { CloseHandle(m_h); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    // Up to n bytes; fewer only at the end of the file.
    std::vector<BYTE> Read(std::size_t n)
    {
        std::vector<BYTE> bytes(n);
        DWORD got = 0;
        if (!ReadFile(m_h, bytes.data(), static_cast<DWORD>(n), &got, nullptr)) throw Refused{m_path + ": cannot read"};
        bytes.resize(got);
        return bytes;
    }

private:
    std::string m_path;
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

// The whole file when it holds at most limit bytes; never reads more than limit + 1.
std::vector<BYTE> ReadSmallFile(const std::string& path, std::size_t limit)
{
    InputFile in(path);
    std::vector<BYTE> bytes = in.Read(limit + 1);
    if (bytes.size() > limit) throw Refused{path + ": more than " + std::to_string(limit) + " bytes"};
    return bytes;
}

// Written whole or not at all (platform::ReplaceFileContents): a symlink is written to its
// target, an existing file keeps its mode and owner.
void WriteWholeFile(const std::string& path, const BYTE* data, std::size_t size)
{
    BOOL ok = platform::ReplaceFileContents(WinPath(path), [&](HANDLE h) {
        DWORD written = 0;
        return WriteFile(h, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    });
    if (!ok) throw Refused{path + ": cannot write"};
}

bool SameFile(const std::string& a, const std::string& b)
{
    std::error_code ec;
    if (fs::exists(U8(a), ec) && fs::exists(U8(b), ec)) return fs::equivalent(U8(a), U8(b), ec);
    return fs::weakly_canonical(U8(a), ec) == fs::weakly_canonical(U8(b), ec);
}

std::string ImageRefusal(const std::string& path, AppImageCheck check)
{
    const WCHAR* text = PickAppImageText(check);
    return path + ": refused at check '" + AppImageCheckName(check) + "'" +
           (text ? " (" + CString(text).ToUtf8() + ")" : std::string());
}

// ---- img ---------------------------------------------------------------------------------

int ImgMake(const std::vector<std::string>& argv)
{
    Args args(argv, {"--name", "--out"}, {});
    std::string raw = args.OnePositional("RAW file");
    std::string name = args.Value("--name").value_or("");
    if (name.empty() || name.size() > 8) throw UsageError{"--name takes 1 to 8 characters"};
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7E) throw UsageError{"--name takes printable ASCII characters only"};
    std::string out = args.Value("--out").value_or(U8String(U8(raw).replace_extension(".bimg")));
    if (SameFile(raw, out)) throw UsageError{"the output would overwrite " + raw + "; give --out"};

    std::vector<BYTE> plain = ReadSmallFile(raw, APP_IMAGE_MAX_SIZE);
    if (plain.size() < APP_IMAGE_MIN_SIZE)
        throw Refused{raw + ": " + std::to_string(plain.size()) + " bytes; an image holds " +
                      std::to_string(APP_IMAGE_MIN_SIZE) + " to " + std::to_string(APP_IMAGE_MAX_SIZE)};
    std::vector<BYTE> file;
    auto now = static_cast<unsigned long long>(_time64(nullptr));
    if (EncodeAppImage(name.c_str(), plain.data(), static_cast<DWORD>(plain.size()),
                       static_cast<DWORD>(now & 0xFFFFFFFFu), file) != 0)
        throw UsageError{"--name takes 1 to 8 characters"};
    WriteWholeFile(out, file.data(), file.size());

    // What was written must read back as the same bytes.
    ENC_FILE_HEADER header{};
    BYTE* data = nullptr;
    AppImageCheck check = ReadAppImage(WinPath(out), nullptr, &header, &data);
    bool same = check == AppImageCheck::Ok && std::memcmp(data, plain.data(), plain.size()) == 0;
    std::free(data);
    if (!same) throw Refused{out + ": written image does not read back"};

    Report r(false);
    r.Text("name", name);
    r.Number("size", header.dwDataSize);
    r.Text("crc", Hex4(header.dwDataCrc));
    r.Text("file", out);
    r.Print();
    return kOk;
}

int ImgShow(const std::vector<std::string>& argv)
{
    Args args(argv, {}, {"--json"});
    std::string path = args.OnePositional("image file");
    Report r(args.Flag("--json"));
    r.Text("file", path);
    std::optional<InputFile> in(std::in_place, path);
    // The header, then no more than the payload it declares, and never more than an image
    // may hold: the file's own size does not matter.
    std::vector<BYTE> head = in->Read(ENC_FILE_HEADER_SIZE);
    ENC_FILE_HEADER h{};
    if (head.size() == ENC_FILE_HEADER_SIZE) h = HeaderFromBytes(head.data());
    if (head.size() < ENC_FILE_HEADER_SIZE || CheckFileHeader(&h) != 0) {
        // Not a container at all: its first bytes mean nothing, so none are shown as fields.
        const bool shortFile = head.size() < ENC_FILE_HEADER_SIZE;
        const AppImageCheck check = shortFile ? AppImageCheck::HeaderReadFailed : AppImageCheck::InvalidHeader;
        r.Bool("headerValid", false);
        r.Bool("payloadValid", false);
        r.Text("check", AppImageCheckName(check));
        r.Print();
        std::cerr << "tarvexctl: " << path << ": not an image file ("
                  << (shortFile ? "shorter than a container header"
                      : h.dwMagic != ENC_FILE_MAGIC ? "no container header"
                                                    : "damaged container header")
                  << "); refused at check '" << AppImageCheckName(check) << "' ("
                  << CString(PickAppImageText(check)).ToUtf8() << ")\n";
        return kRefused;
    }
    bool payloadValid = false;
    if (h.dwDataSize <= APP_IMAGE_MAX_SIZE && InitFileCodec(&h) == 0) {
        std::vector<BYTE> payload = in->Read(h.dwDataSize);
        payloadValid = payload.size() == h.dwDataSize &&
                       DecodeFileData(&h, payload.data(), h.dwDataSize) == 0 && VerifyFileData(&h) == 0;
    }
    r.Number("dwMagic", h.dwMagic, "0x" + Hex4(h.dwMagic));
    r.Number("dwHeaderCrc", h.dwHeaderCrc, Hex4(h.dwHeaderCrc));
    r.Number("dwCreateTime", h.dwCreateTime, std::to_string(h.dwCreateTime) + " (" + UtcTime(h.dwCreateTime) + ")");
    r.Number("dwDataSize", h.dwDataSize);
    r.Number("dwDataCrc", h.dwDataCrc, Hex4(h.dwDataCrc));
    r.Number("dwFileType", h.dwFileType & 0xFF);
    r.Text("szName", NameField(h.szName, 8));
    r.Bool("headerValid", true);
    r.Bool("payloadValid", payloadValid);
    in.reset(); // the checks open the file without sharing
    ENC_FILE_HEADER unused{};
    const AppImageCheck check = ReadAppImage(WinPath(path), nullptr, &unused, nullptr);
    r.Text("check", AppImageCheckName(check));
    r.Print();
    if (check != AppImageCheck::Ok) {
        std::cerr << "tarvexctl: " << ImageRefusal(path, check) << "\n";
        return kRefused;
    }
    return kOk;
}

int ImgExtract(const std::vector<std::string>& argv)
{
    Args args(argv, {"--out"}, {});
    std::string path = args.OnePositional("image file");
    auto out = args.Value("--out");
    if (!out || out->empty()) throw UsageError{"img extract needs --out RAW"};
    if (SameFile(path, *out)) throw UsageError{"--out would overwrite the image"};
    ENC_FILE_HEADER header{};
    BYTE* data = nullptr;
    AppImageCheck check = ReadAppImage(WinPath(path), nullptr, &header, &data);
    if (check != AppImageCheck::Ok) throw Refused{ImageRefusal(path, check)};
    struct Free {
        BYTE* p;
        ~Free() { std::free(p); }
    } hold{data};
    WriteWholeFile(*out, data, header.dwDataSize);
    std::cout << "wrote " << header.dwDataSize << " bytes to " << *out << "\n";
    return kOk;
}

// ---- cfg ---------------------------------------------------------------------------------

std::string ConfigRefusal(const std::string& path, ConfigCheck check)
{
    return path + ": refused at check '" + ConfigCheckName(check) + "'";
}

SYSTEM_CONFIG LoadConfigOrThrow(const std::string& path)
{
    SYSTEM_CONFIG c{};
    ConfigCheck check = ReadSystemConfig(WinPath(path), &c);
    if (check != ConfigCheck::Ok) throw Refused{ConfigRefusal(path, check)};
    return c;
}

int CfgShow(const std::vector<std::string>& argv)
{
    Args args(argv, {}, {"--json"});
    std::string path = args.OnePositional("configuration file");
    SYSTEM_CONFIG c = LoadConfigOrThrow(path);
    Report r(args.Flag("--json"));
    r.FileName("szAppFile", TextField(c.szAppFile));
    r.Text("szAppName", NameField(c.szAppName, 8));
    r.Number("dwAppCrc", c.dwAppCrc, Hex4(c.dwAppCrc));
    r.Number("wProgramID", c.wProgramID, Hex4(c.wProgramID));
    r.Number("wProgramVer", c.wProgramVer,
             std::to_string(c.wProgramVer >> 8) + "." + std::to_string(c.wProgramVer & 0xFF));
    r.Number("bAutoUpgrade", static_cast<DWORD>(c.bAutoUpgrade));
    r.Number("bAutoReset", static_cast<DWORD>(c.bAutoReset));
    r.Number("bVersionCheck", static_cast<DWORD>(c.bVersionCheck));
    r.Number("bSaveUserData", static_cast<DWORD>(c.bSaveUserData));
    r.Text("szTitle", TextField(c.szTitle));
    r.Text("szPassword", TextField(c.szPassword));
    r.Print();
    return kOk;
}

CString CheckedText(const std::string& utf8, const char* option)
{
    CString s = CString::FromUtf8(utf8);
    if (s.ToUtf8() != utf8) throw UsageError{std::string(option) + " is not valid UTF-8"};
    return s;
}

WORD ParseProgramId(std::string s)
{
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > 4 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw UsageError{"--program-id takes a hexadecimal number from 0 to FFFF"};
    return static_cast<WORD>(std::stoul(s, nullptr, 16));
}

WORD ParseProgramVer(const std::string& s)
{
    auto part = [&](const std::string& p) {
        if (p.empty() || p.size() > 3 || p.find_first_not_of("0123456789") != std::string::npos || std::stoul(p) > 255)
            throw UsageError{"--program-ver takes MAJOR.MINOR, each 0 to 255"};
        return static_cast<WORD>(std::stoul(p));
    };
    auto dot = s.find('.');
    if (dot == std::string::npos) part("");
    return static_cast<WORD>((part(s.substr(0, dot)) << 8) | part(s.substr(dot + 1)));
}

const std::vector<std::string> kCfgValueOpts = {"--out", "--image", "--program-id", "--program-ver", "--title", "--password"};
const std::vector<std::string> kCfgFlagOpts = {"--auto-upgrade",    "--auto-reset",    "--version-check",
                                               "--save-user-data",  "--no-auto-upgrade", "--no-auto-reset",
                                               "--no-version-check", "--no-save-user-data"};

// Validates every option first, so a refused command changes no file. Returns whether
// anything was given.
bool ApplyConfigOptions(const Args& args, SYSTEM_CONFIG& c)
{
    bool any = false;
    SYSTEM_CONFIG n = c;
    if (auto v = args.Value("--program-id")) n.wProgramID = ParseProgramId(*v), any = true;
    if (auto v = args.Value("--program-ver")) n.wProgramVer = ParseProgramVer(*v), any = true;
    if (auto v = args.Value("--title")) {
        CString t = CheckedText(*v, "--title");
        if (t.GetLength() > kMaxTitle) throw UsageError{"--title takes at most 100 characters"};
        std::memset(n.szTitle, 0, sizeof n.szTitle);
        WcsCopyField(n.szTitle, CONFIG_TEXT_UNITS, t);
        any = true;
    }
    if (auto v = args.Value("--password")) {
        CString p = CheckedText(*v, "--password");
        if (p.GetLength() < 1 || p.GetLength() > kMaxPassword) throw UsageError{"--password takes 1 to 100 characters"};
        std::memset(n.szPassword, 0, sizeof n.szPassword);
        WcsCopyField(n.szPassword, CONFIG_TEXT_UNITS, p);
        any = true;
    }
    struct {
        const char* on;
        const char* off;
        BOOL SYSTEM_CONFIG::*field;
    } const options[] = {{"--auto-upgrade", "--no-auto-upgrade", &SYSTEM_CONFIG::bAutoUpgrade},
                         {"--auto-reset", "--no-auto-reset", &SYSTEM_CONFIG::bAutoReset},
                         {"--version-check", "--no-version-check", &SYSTEM_CONFIG::bVersionCheck},
                         {"--save-user-data", "--no-save-user-data", &SYSTEM_CONFIG::bSaveUserData}};
    for (const auto& o : options) {
        if (args.Flag(o.on) && args.Flag(o.off)) throw UsageError{std::string(o.on) + " and " + o.off + " contradict"};
        if (args.Flag(o.on)) n.*o.field = 1, any = true;
        if (args.Flag(o.off)) n.*o.field = 0, any = true;
    }
    if (auto v = args.Value("--image")) {
        if (v->empty()) throw UsageError{"--image needs a file"};
        // The tool finds the image by its file name next to Tarvex.cfg.
        // Whatever bytes the name holds: the tool opens it again from the same units.
        CString file = WinPath(U8String(U8(*v).filename()));
        if (!IsPlainFileName(file) || file.GetLength() >= static_cast<int>(CONFIG_TEXT_UNITS))
            throw Refused{*v + ": not usable as an image file name"};
        if (file.CompareNoCase(u"cdboot.bimg") == 0) throw Refused{*v + ": the image may not be cdboot.bimg"};
        ENC_FILE_HEADER h{};
        AppImageCheck check = ReadAppImage(WinPath(*v), nullptr, &h, nullptr);
        if (check != AppImageCheck::Ok) throw Refused{ImageRefusal(*v, check)};
        std::memset(n.szAppFile, 0, sizeof n.szAppFile);
        WcsCopyField(n.szAppFile, CONFIG_TEXT_UNITS, file);
        std::memcpy(n.szAppName, h.szName, 8);
        n.dwAppCrc = h.dwDataCrc;
        any = true;
    }
    c = n;
    return any;
}

void SaveConfigOrThrow(const std::string& path, const SYSTEM_CONFIG& c)
{
    if (SaveSystemConfig(WinPath(path), &c) != 1) throw Refused{path + ": cannot write the configuration; nothing changed"};
}

// Held from before the read until after the save, so concurrent changes serialise: each one
// is applied whole, or refused (exit 1) when the lock stays taken too long.
struct ConfigLock {
    explicit ConfigLock(const std::string& path) : h(LockSystemConfig(WinPath(path)))
    {
        if (h != INVALID_HANDLE_VALUE) return;
        if (GetLastError() == ERROR_LOCK_VIOLATION)
            throw Refused{path + ": another save held the lock for more than " +
                          std::to_string(CONFIG_LOCK_TIMEOUT_MS / 1000) + " s; nothing changed"};
        throw Refused{path + ": cannot lock its directory; nothing changed"};
    }
    ~ConfigLock() { CloseHandle(h); }
    ConfigLock(const ConfigLock&) = delete;
    ConfigLock& operator=(const ConfigLock&) = delete;
    HANDLE h;
};

int CfgCreate(const std::vector<std::string>& argv)
{
    Args args(argv, kCfgValueOpts, kCfgFlagOpts);
    if (!args.Positional().empty()) throw UsageError{"cfg create takes no file argument; use --out"};
    auto out = args.Value("--out");
    if (!out || out->empty()) throw UsageError{"cfg create needs --out FILE"};
    if (!args.Value("--password")) throw UsageError{"cfg create needs --password"};
    SYSTEM_CONFIG c{};
    ApplyConfigOptions(args, c);
    ConfigLock lock(*out);
    SaveConfigOrThrow(*out, c);
    std::cout << "wrote " << *out << "\n";
    return kOk;
}

int CfgSet(const std::vector<std::string>& argv)
{
    Args args(argv, kCfgValueOpts, kCfgFlagOpts);
    std::string path = args.OnePositional("configuration file");
    if (args.Value("--out")) throw UsageError{"cfg set changes FILE in place; --out belongs to cfg create"};
    // Validate the options (and read a new image) before reading, so a usage error wins
    // over a refused file and the lock is held only for the read-change-write.
    SYSTEM_CONFIG probe{};
    if (!ApplyConfigOptions(args, probe)) throw UsageError{"cfg set needs at least one option to change"};
    ConfigLock lock(path);
    SYSTEM_CONFIG c = LoadConfigOrThrow(path);
    ApplyConfigOptions(args, c);
    SaveConfigOrThrow(path, c);
    std::cout << "updated " << path << "\n";
    return kOk;
}

// ---- commands ----------------------------------------------------------------------------

// tarvexctl upgrade, recover and journal, through the field commands' own entry.
template <int N>
int FieldCommand(const std::vector<std::string>& rest)
{
    static const char* const names[] = {"upgrade", "recover", "journal", "devices"};
    std::vector<std::string> args{names[N]};
    args.insert(args.end(), rest.begin(), rest.end());
    return field::RunFieldCommand(args);
}

} // namespace

struct tarvexctl::Command {
    const char* name;     // the words that select it: "img make"
    const char* synopsis; // what follows the name
    const char* summary;  // one line for the overview
    std::string details;  // options and behaviour, for --help
    int (*run)(const std::vector<std::string>&);
};

namespace {

const char* const kCfgOptionHelp =
    "  --image BIMG             the image the tool loads: it is checked, and its file name, name and CRC\n"
    "                           are recorded (the tool looks for the file next to the configuration)\n"
    "  --program-id HEX         program ID the mouse must report, 0 to FFFF\n"
    "  --program-ver MAJ.MIN    version of the image, each part 0 to 255\n"
    "  --auto-upgrade, --auto-reset, --version-check, --save-user-data\n"
    "                           set an upgrade option (cfg set: --no-... clears it)\n"
    "  --title TEXT             main window title, at most 100 characters (empty: the built-in one)\n"
    "  --password TEXT          access password of the configuration entry, 1 to 100 characters\n";

// One table: dispatch, the overview and every --help come from here.
const Command kCommands[] = {
    {"img make", "--name NAME [--out FILE] RAW", "encode raw flash bytes as an image",
     "Encodes RAW (16646 to 65536 bytes of flash) as an application image named NAME (1 to 8\n"
     "printable ASCII characters). The image goes to FILE, by default RAW with the extension .bimg,\n"
     "and must read back as the same bytes.\n",
     ImgMake},
    {"img show", "[--json] FILE", "show an image's header and checks",
     "Shows the container header of FILE and runs the checks of the configuration dialog.\n"
     "Exit status 1 when FILE is not an image or a check fails; --json prints one JSON object.\n",
     ImgShow},
    {"img extract", "FILE --out RAW", "write an image's decoded flash bytes",
     "Checks the image FILE and writes its decoded flash bytes to RAW.\n", ImgExtract},
    {"cfg show", "[--json] FILE", "show a configuration file",
     "Shows every field of the configuration file FILE; --json prints one JSON object.\n", CfgShow},
    {"cfg create", "--out FILE --password TEXT [OPTIONS]", "write a new configuration file", kCfgOptionHelp,
     CfgCreate},
    {"cfg set", "FILE OPTION...", "change fields of a configuration file", kCfgOptionHelp, CfgSet},
    // The field commands: the upgrade procedure on the mouse, recovery and the journal.
    {"upgrade", "[--loop [--count N] [--report FILE]] [--json] [OPTIONS]", "upgrade the mouse, or many in a row",
     field::FieldHelp("upgrade"), FieldCommand<0>},
    {"recover", "[--device-id HEX] [OPTIONS]", "flash a mouse left in its bootloader", field::FieldHelp("recover"),
     FieldCommand<1>},
    {"journal", "[--json | --check | --repair | --remove DEVICE_ID] [--dir DIR]", "the pending recovery entries",
     field::FieldHelp("journal"), FieldCommand<2>},
    {"devices", "[--json] [--simulate ...]", "list every DUN-X4 on the bus with its port", field::FieldHelp("devices"),
     FieldCommand<3>},
};

std::vector<std::string> Words(const char* name)
{
    std::vector<std::string> words;
    std::istringstream in(name);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The command selected by the first words of args, and how many words it took.
const Command* FindCommand(const std::vector<std::string>& args, std::size_t& used)
{
    for (const Command& c : kCommands) {
        std::vector<std::string> words = Words(c.name);
        if (args.size() >= words.size() && std::equal(words.begin(), words.end(), args.begin())) {
            used = words.size();
            return &c;
        }
    }
    return nullptr;
}

// Commands whose name starts with prefix ("" for all).
std::vector<const Command*> CommandsUnder(const std::string& prefix)
{
    std::vector<const Command*> found;
    for (const Command& c : kCommands)
        if (prefix.empty() || std::string(c.name).rfind(prefix + " ", 0) == 0) found.push_back(&c);
    return found;
}

std::string Synopsis(const Command& c) { return std::string("tarvexctl ") + c.name + " " + c.synopsis; }

std::string UsageOf(const std::vector<const Command*>& commands)
{
    std::string s = "usage:\n";
    for (const Command* c : commands) s += "  " + Synopsis(*c) + "\n";
    return s;
}

std::string Overview(const std::string& prefix)
{
    std::string s = UsageOf(CommandsUnder(prefix)) + "\ncommands:\n";
    for (const Command* c : CommandsUnder(prefix)) {
        std::string name = c->name;
        s += "  " + name + std::string(name.size() < 14 ? 14 - name.size() : 1, ' ') + c->summary + "\n";
    }
    s += "\n'tarvexctl " + (prefix.empty() ? std::string("COMMAND") : prefix + " COMMAND") +
         " --help' describes a command; 'tarvexctl --version' prints the version.\n"
         "exit status: 0 success, 1 a file was refused or not written (nothing changed), 2 usage error;\n"
         "upgrade and recover also 3 (failed after the switch: run recover) and 4 (upgraded, the reset\n"
         "failed: replug the mouse)\n";
    return s;
}

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h"; }

int Run(const std::vector<std::string>& all)
{
    if (all.empty()) throw UsageError{"missing command"};
    if (IsHelp(all[0]) || all[0] == "help") {
        std::vector<std::string> topic(all.begin() + 1, all.end());
        std::size_t used = 0;
        if (const Command* c = topic.empty() ? nullptr : FindCommand(topic, used)) {
            std::cout << "usage: " << Synopsis(*c) << "\n\n" << c->details;
            return kOk;
        }
        std::string group = topic.empty() ? std::string() : topic[0];
        if (!group.empty() && CommandsUnder(group).empty()) throw UsageError{"no help for unknown command '" + group + "'"};
        std::cout << Overview(group);
        return kOk;
    }
    if (all[0] == "--version" || all[0] == "-V") {
        std::cout << "tarvexctl " << TARVEX_VERSION << "\n";
        return kOk;
    }
    std::size_t used = 0;
    const Command* c = FindCommand(all, used);
    if (!c) {
        // A group name alone, or with --help, describes the group.
        std::vector<const Command*> group = CommandsUnder(all[0]);
        if (!group.empty() && all.size() >= 2 && IsHelp(all[1])) {
            std::cout << Overview(all[0]);
            return kOk;
        }
        if (group.empty()) throw UsageError{"unknown command '" + all[0] + "'"};
        if (all.size() < 2) throw UsageError{"missing command after '" + all[0] + "'", all[0]};
        std::string known;
        for (const Command* g : group) known += (known.empty() ? "" : ", ") + Words(g->name).back();
        throw UsageError{"unknown command '" + all[0] + " " + all[1] + "' (" + all[0] + " commands: " + known + ")",
                         all[0]};
    }
    std::vector<std::string> rest(all.begin() + static_cast<long>(used), all.end());
    for (const std::string& a : rest) {
        if (a == "--") break;
        if (IsHelp(a)) {
            std::cout << "usage: " << Synopsis(*c) << "\n\n" << c->details;
            return kOk;
        }
    }
    try {
        return c->run(rest);
    } catch (UsageError& e) {
        e.command = c;
        throw;
    }
}

} // namespace

int main(int argc, char** argv)
{
    // The same tool directory as the window's: an installed copy uses the per-user one.
    tarvex::SetToolDirSettings({TARVEX_INSTALL_BINDIR, TARVEX_SYSTEM_DIR});
#ifdef _WIN32
    // Before any command, the field commands too: argv is in the ANSI code page there, the
    // wide command line has every character; the console is told that our text is UTF-8 and
    // asked to take the terminal sequences of the live progress line.
    platform::win32::UseUtf8Console();
    platform::win32::EnableTerminalSequences();
    std::vector<std::string> all = platform::win32::Utf8Arguments();
    if (!all.empty()) all.erase(all.begin());
    (void)argc;
    (void)argv;
#else
    std::vector<std::string> all(argv + 1, argv + argc);
#endif
    if (all.size() == 1 && all[0] == "--where") {
        const tarvex::ToolDirChoice c = tarvex::CurrentToolDir(false);
        if (!c.error.empty()) {
            std::cerr << "tarvexctl: " << c.error << "\n";
            return kRefused;
        }
        std::string dir = c.dir;
        if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
        std::cout << dir << "\n";
        return std::cout.flush() ? kOk : kRefused;
    }
    try {
        return Run(all);
    } catch (const UsageError& e) {
        std::cerr << "tarvexctl: " << e.message << "\n";
        if (e.command)
            std::cerr << "usage: " << Synopsis(*e.command) << "\n(see 'tarvexctl " << e.command->name << " --help')\n";
        else
            std::cerr << UsageOf(CommandsUnder(e.group)) << "(see 'tarvexctl " << (e.group.empty() ? "" : e.group + " ")
                      << "--help')\n";
        return kUsage;
    } catch (const Refused& e) {
        std::cerr << "tarvexctl: " << e.message << "\n";
        return kRefused;
    } catch (const std::exception& e) {
        std::cerr << "tarvexctl: " << e.what() << "\n";
        return kRefused;
    }
}
