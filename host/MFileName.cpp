#include "host/MFileName.h"

MFileName::Split MFileName::Parts() const {
    Split s;
    std::wstring rest = m_path;
    if (rest.size() >= 2 && rest[1] == L':') {
        s.drive = rest.substr(0, 2);
        rest = rest.substr(2);
    }
    const size_t slash = rest.find_last_of(L"/\\");
    if (slash != std::wstring::npos) {
        s.folder = rest.substr(0, slash + 1);
        rest = rest.substr(slash + 1);
    }
    const size_t dot = rest.find_last_of(L'.');
    if (dot != std::wstring::npos && dot > 0) {
        s.extension = rest.substr(dot);
        rest = rest.substr(0, dot);
    }
    s.name = rest;
    return s;
}

std::wstring MFileName::GET_FILE_PART(int parts) const {
    const Split s = Parts();
    std::wstring out;
    if (parts & eDrive) out += s.drive;
    if (parts & eFolder) out += s.folder;
    if (parts & eName) out += s.name;
    if (parts & eExtension) out += s.extension;
    return out;
}

void MFileName::SET_FILE_PART(int part, const std::wstring& text, size_t limit) {
    Split s = Parts();
    const std::wstring t = limit ? text.substr(0, limit) : text;
    if (part & eDrive) s.drive = t;
    if (part & eFolder) s.folder = t;
    if (part & eName) s.name = t;
    if (part & eExtension) s.extension = t;
    m_path = s.drive + s.folder + s.name + s.extension;
}
