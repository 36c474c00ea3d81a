// The tool directory: where Tarvex.cfg and the image it names are read and written.
//
// A portable copy (a folder of its own, the build tree, a technician's station) works from
// the executable's own directory. A copy installed by the package lies in a directory a
// normal user cannot write (/usr/bin), so when the executable runs from the bin directory
// the build was configured to install into, its files live in the per-user directory
// $XDG_DATA_HOME/tarvex (default ~/.local/share/tarvex) instead, for root as well, so that
// nothing is ever written beside the installed executable.
//
// An administrator may leave a default Tarvex.cfg (and the image it names) in the system
// directory (/etc/tarvex for a /usr install). It is copied into a user's directory while
// that holds no Tarvex.cfg, so each user starts from it and can then change their own copy
// through the configuration entry; the system copy itself is only ever read.
#pragma once
#include <string>

namespace tarvex {

struct ToolDirSettings {
    std::string installedBinDir; // native; empty: every copy is portable
    std::string systemDir;       // native; empty: no administrator's default
};
// The product sets these once at start-up, before anything asks for the tool directory.
// Tests and the demo leave them empty or set them to scratch directories.
void SetToolDirSettings(const ToolDirSettings& settings);
ToolDirSettings GetToolDirSettings();

enum class ToolDirKind { Portable, Installed };

struct ToolDirChoice {
    ToolDirKind kind = ToolDirKind::Portable;
    std::string dir;   // native, absolute, ending in a separator ('\' or '/' on Windows)
    std::string error; // set when an installed copy has no home: dir then names a place
                       // that cannot be created, so reads and saves fail visibly
};

// Decides without touching anything but the file system's idea of which directories are
// the same (symbolic links, "..", a trailing slash). xdgDataHome and home are the
// environment's values (null when unset); a relative XDG_DATA_HOME is ignored, as the base
// directory convention asks. home falls back to the password database's entry.
ToolDirChoice ChooseToolDir(const std::string& exePath, const std::string& installedBinDir, const char* xdgDataHome,
                            const char* home);

// This process's tool directory, from its executable's path (or the test override), the
// settings and the environment. With prepare, an installed copy's directory is created
// (mode 0700, it holds the access password) and seeded from the system directory; a
// failure is reported once on stderr and the path is still returned, so the reads and
// saves that follow fail with the tool's own messages.
// An installed copy's directory that belongs to another user (root with a user's
// XDG_DATA_HOME) is refused: error says so, and nothing is created or copied there.
ToolDirChoice CurrentToolDir(bool prepare);
// Why dir may not be used by this user (it, or the nearest part of it that exists, belongs to
// another user who is not root); empty when it may.
std::string ForeignOwner(const std::string& dir);

// Creates dir and any missing parents, each with mode 0700. True when dir is a directory
// afterwards; otherwise error says why.
bool MakeToolDir(const std::string& dir, std::string* error);

// Copies the system directory's Tarvex.cfg, and the image it names, into dir while dir has
// no Tarvex.cfg. An image already in dir is kept. Tarvex.cfg is written last, through a
// temporary file, so an interrupted copy is simply done again next time. Returns true when
// a configuration was copied.
bool SeedToolDir(const std::string& dir, const std::string& systemDir);

} // namespace tarvex
