// The file wrapper used by the library search; each operation passes to the
// function or file utility it is named after, so tests can replace it.
#pragma once

#include <windows.h>

#include <string>

namespace Tessil {

class PathAPI {
public:
    virtual ~PathAPI() = default;
    // False for a null or empty path and for a folder.
    virtual bool fileExists(const wchar_t* path);
    virtual bool directoryExists(const wchar_t* path);
    virtual bool isRegularFile(const wchar_t* path);
    virtual bool deleteFiles(const wchar_t* pattern, bool recursive);
    virtual bool createDirectoryTree(const wchar_t* path);
    virtual bool removeDirectoryTree(const wchar_t* path);
    virtual HANDLE createFile(const wchar_t* path, DWORD access, DWORD share,
                              SECURITY_ATTRIBUTES* attributes, DWORD disposition, DWORD flags,
                              HANDLE templateFile);
    virtual BOOL moveFile(const wchar_t* from, const wchar_t* to);
    virtual BOOL deleteFile(const wchar_t* path);
    virtual BOOL readDirectoryChanges(HANDLE directory, void* buffer, DWORD length,
                                      BOOL watchSubtree, DWORD filter, DWORD* returned,
                                      OVERLAPPED* overlapped,
                                      LPOVERLAPPED_COMPLETION_ROUTINE completion);
    virtual const wchar_t* findFileName(const wchar_t* path);
    virtual DWORD getLongPathName(const wchar_t* shortPath, wchar_t* buffer, DWORD size);
    virtual DWORD sleepEx(DWORD milliseconds, BOOL alertable);
    virtual BOOL cancelIoEx(HANDLE handle, OVERLAPPED* overlapped);
    virtual BOOL closeHandle(HANDLE handle);
    virtual HANDLE findFirstFile(const wchar_t* pattern, WIN32_FIND_DATAW* data);
    virtual BOOL findNextFile(HANDLE handle, WIN32_FIND_DATAW* data);
    virtual BOOL findClose(HANDLE handle);
    virtual DWORD getLastError();
    // The file's bytes, one character per byte. False when it cannot be
    // opened or read in full.
    virtual bool readFile(const std::wstring& path, std::wstring& out);
    // Writes the text one byte per character (created or truncated); false
    // when the file cannot be opened or written.
    virtual bool writeFile(const std::wstring& path, const std::wstring& text);
};

}  // namespace Tessil
