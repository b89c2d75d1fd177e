// Splits a wide path into folder, base name and extension.
#pragma once

#include <string>

class MFileName {
public:
    enum EPart { eDrive = 1, eFolder = 2, eName = 4, eExtension = 8, eNameAndExtension = eName | eExtension, eAll = 15 };

    MFileName() = default;
    explicit MFileName(std::wstring path) : m_path(std::move(path)) {}
    void SetPath(const std::wstring& p) { m_path = p; }
    const std::wstring& GetPath() const { return m_path; }

    // The requested parts joined as they stand in the path.
    std::wstring GET_FILE_PART(int parts) const;
    // Replaces the requested part with `text`, cut to at most `limit`
    // characters (no limit when limit is 0).
    void SET_FILE_PART(int part, const std::wstring& text, size_t limit = 0);

private:
    struct Split { std::wstring drive, folder, name, extension; };
    Split Parts() const;
    std::wstring m_path;
};
