// Appending to a file the tool keeps (the run log) or is given (a station's report): the
// same refusals as every other file the tool opens. Only a regular file is written; a FIFO,
// device or directory is refused at once, never waited on. A file the tool creates is
// created exclusively, so a link planted at its name is never written through; an existing
// file is followed through a link only where the caller allows it (a report the user
// names), never for the tool's own files.
#pragma once
#include <cstdint>
#include <string>

class CAppendFile
{
public:
    CAppendFile() = default;
    ~CAppendFile();
    CAppendFile(const CAppendFile&) = delete;
    CAppendFile& operator=(const CAppendFile&) = delete;

    // False with the reason in why; the file is then left as it was.
    bool Open(const std::string& path, bool followLink, std::string& why);
    // The whole text or false with the reason (a short write counts as a failure).
    bool Write(const std::string& text, std::string& why);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // The size of the open file, 0 when unknown.
    std::uintmax_t Size() const;

private:
    int m_fd = -1;
};
