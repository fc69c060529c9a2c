#pragma once

#include <cstdint>

// The version record of the library's file, laid out like the fixed part of a Windows version
// resource. Shared objects carry no such resource, so the record is the one this library was
// built with (TESSARY_VERSION_*), and it is only given out for a file that exists: the caller
// names the library's own file.
class CFileVersionInfo {
public:
    static constexpr uint32_t Signature = 0xFEEF04BD;

    struct FixedFileInfo {
        uint32_t dwSignature;
        uint32_t dwStrucVersion;
        uint32_t dwFileVersionMS;
        uint32_t dwFileVersionLS;
        uint32_t dwProductVersionMS;
        uint32_t dwProductVersionLS;
        uint32_t dwFileFlagsMask;
        uint32_t dwFileFlags;
        uint32_t dwFileOS;
        uint32_t dwFileType;
        uint32_t dwFileSubtype;
        uint32_t dwFileDateMS;
        uint32_t dwFileDateLS;
    };

    CFileVersionInfo() = default;
    CFileVersionInfo(const CFileVersionInfo&) = delete;
    CFileVersionInfo& operator=(const CFileVersionInfo&) = delete;
    virtual ~CFileVersionInfo();

    // True when path names a readable file; the record is then valid.
    bool Create(const char* path);
    void Reset();

    bool IsValid() const { return m_Valid; }
    const FixedFileInfo& GetFixedFileInfo() const { return m_FixedInfo; }
    // The four 16-bit parts of the file version, most significant first (6.1.x.y).
    uint16_t FileVersionPart(int index) const;

private:
    FixedFileInfo m_FixedInfo{};
    bool m_Valid = false;
};
