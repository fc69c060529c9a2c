#include "tessary/setup/internal/FileVersionInfo.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kStrucVersion = 0x00010000;
constexpr uint32_t kFileTypeLibrary = 2;

constexpr uint32_t Word(uint32_t high, uint32_t low) {
    return (high << 16) | (low & 0xFFFF);
}

} // namespace

CFileVersionInfo::~CFileVersionInfo() {
    Reset();
}

bool CFileVersionInfo::Create(const char* path) {
    Reset();
    struct stat info {};
    if (path == nullptr || stat(path, &info) != 0 || !S_ISREG(info.st_mode) ||
        access(path, R_OK) != 0) {
        return false;
    }
    m_FixedInfo.dwSignature = Signature;
    m_FixedInfo.dwStrucVersion = kStrucVersion;
    m_FixedInfo.dwFileVersionMS = Word(TESSARY_VERSION_MAJOR, TESSARY_VERSION_MINOR);
    m_FixedInfo.dwFileVersionLS = Word(TESSARY_VERSION_PATCH, TESSARY_VERSION_BUILD);
    m_FixedInfo.dwProductVersionMS = m_FixedInfo.dwFileVersionMS;
    m_FixedInfo.dwProductVersionLS = m_FixedInfo.dwFileVersionLS;
    m_FixedInfo.dwFileType = kFileTypeLibrary;
    m_Valid = m_FixedInfo.dwSignature == Signature;
    if (!m_Valid) {
        Reset();
    }
    return m_Valid;
}

void CFileVersionInfo::Reset() {
    m_FixedInfo = FixedFileInfo{};
    m_Valid = false;
}

uint16_t CFileVersionInfo::FileVersionPart(int index) const {
    const uint32_t word = index < 2 ? m_FixedInfo.dwFileVersionMS : m_FixedInfo.dwFileVersionLS;
    return static_cast<uint16_t>(index % 2 == 0 ? word >> 16 : word & 0xFFFF);
}
