// tarvexctl's command line, shared by every command: one option parser and one pair of
// error types, thrown by any command and handled in one place (main).
#pragma once
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvexctl {

struct Command;
struct UsageError {
    UsageError(std::string text, std::string inGroup = {}) : message(std::move(text)), group(std::move(inGroup)) {}
    std::string message;
    std::string group;                // the group whose commands to list ("": all)
    const Command* command = nullptr; // set by the dispatch: the command whose synopsis to show
};
struct Refused {
    std::string message;
};

// Paths on the command line are UTF-8 everywhere; a narrow std::string path would be read in
// the ANSI code page on Windows and lose every character outside it.
inline std::filesystem::path U8(const std::string& s) { return std::filesystem::path(std::u8string(s.begin(), s.end())); }
inline std::string U8String(const std::filesystem::path& p)
{
    const std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

// The options a command takes. Value options take "--opt VALUE" or "--opt=VALUE"; repeated
// ones may be given more than once; optional-number ones take a number if the next word is
// one ("--wait", "--wait 60").
struct OptionSet {
    std::vector<std::string> values, repeated, optionalNumbers, flags;
    OptionSet& operator+=(const OptionSet& o)
    {
        values.insert(values.end(), o.values.begin(), o.values.end());
        repeated.insert(repeated.end(), o.repeated.begin(), o.repeated.end());
        optionalNumbers.insert(optionalNumbers.end(), o.optionalNumbers.begin(), o.optionalNumbers.end());
        flags.insert(flags.end(), o.flags.begin(), o.flags.end());
        return *this;
    }
};

// Options and positionals of one command.
class Args
{
public:
    Args(std::vector<std::string> args, std::vector<std::string> values, std::vector<std::string> flags)
        : Args(std::move(args), OptionSet{std::move(values), {}, {}, std::move(flags)})
    {
    }
    Args(std::vector<std::string> args, const OptionSet& options)
    {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a.size() < 2 || a.compare(0, 2, "--") != 0 || a == "--") {
                if (a == "--") {
                    m_positional.insert(m_positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
                    break;
                }
                // "-v" is the one short option, a flag spelled as such.
                if (a.size() == 2 && a[0] == '-' && Contains(options.flags, a)) {
                    m_flags.push_back(a);
                    continue;
                }
                m_positional.push_back(a);
                continue;
            }
            std::string name = a, value;
            bool hasValue = false;
            if (auto eq = a.find('='); eq != std::string::npos) {
                name = a.substr(0, eq);
                value = a.substr(eq + 1);
                hasValue = true;
            }
            if (Contains(options.values, name) || Contains(options.repeated, name)) {
                if (!hasValue) {
                    if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
                    value = args[++i];
                }
                if (Contains(options.values, name) && m_values.count(name)) throw UsageError{name + " given twice"};
                m_values[name].push_back(value);
            } else if (Contains(options.optionalNumbers, name)) {
                if (!hasValue && i + 1 < args.size() && !args[i + 1].empty() &&
                    std::string("0123456789").find(args[i + 1][0]) != std::string::npos) {
                    value = args[++i];
                    hasValue = true;
                }
                m_values[name].push_back(hasValue ? value : std::string());
            } else if (Contains(options.flags, name) && !hasValue) {
                m_flags.push_back(name);
            } else {
                throw UsageError{"unknown option " + a};
            }
        }
    }
    std::optional<std::string> Value(const std::string& name) const
    {
        auto it = m_values.find(name);
        if (it == m_values.end()) return std::nullopt;
        return it->second.back();
    }
    std::vector<std::string> Values(const std::string& name) const
    {
        auto it = m_values.find(name);
        return it == m_values.end() ? std::vector<std::string>{} : it->second;
    }
    bool Flag(const std::string& name) const { return Contains(m_flags, name); }
    const std::vector<std::string>& Positional() const { return m_positional; }
    std::string OnePositional(const char* what) const
    {
        if (m_positional.size() != 1) throw UsageError{std::string("expected exactly one ") + what};
        return m_positional[0];
    }
    void NoPositional() const
    {
        if (!m_positional.empty()) throw UsageError{"unknown argument " + m_positional[0]};
    }

private:
    static bool Contains(const std::vector<std::string>& v, const std::string& s)
    {
        for (const auto& x : v)
            if (x == s) return true;
        return false;
    }
    std::map<std::string, std::vector<std::string>> m_values;
    std::vector<std::string> m_flags;
    std::vector<std::string> m_positional;
};

} // namespace tarvexctl
