// The bridge every archiver module is built from: an archiver object the
// host registers (opening archives as folders, packing, extracting) and the
// folder that shows one place inside an archive, both over an outside
// library of the common calling convention. A module describes its library,
// its command lines and how it lists entries; the bridge does the rest.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <atomic>
#include <memory>
#include <string>
#include <vector>

// Folders (the records and interfaces shared with the host)
#include "folders/UFolders.h"

#include "ext/arc/ArchiversShared.h"

// How a module lists entries.
enum class TListingStyle {
    // Entries under SubPath with "\" separators, compared as the code page
    // does, names cut to the record; an explicit folder entry right after
    // its synthesized folder replaces it.
    Standard,
    // Entries under SubPath with "/" separators; explicit folder entries
    // are added as they come.
    Tar,
};

// Which times a listing fills.
enum class TTimeStyle {
    WriteTimeExOrUnix,  // write time as FILETIME, else Unix seconds
    ThreeUnix,          // write, creation and access times in Unix seconds
    ThreeFileTimes,     // write, creation and access times as FILETIMEs
    WriteTimeEx,        // write time as FILETIME only
};

// What one module is.
class TArchiverModule {
public:
    virtual ~TArchiverModule() = default;

    TArchiverModule(std::wstring library, std::string prefix, TRaiseArchiverError raise)
        : Library(library, raise), Prefix(std::move(prefix))
    {
    }

    TArchiverLibrary Library;
    std::string Prefix;  // of the library's function names: "SevenZip", "Tar", ...

    virtual std::wstring Caption() const = 0;
    virtual std::vector<std::wstring> Extensions() const = 0;
    virtual TListingStyle Listing() const { return TListingStyle::Standard; }
    virtual TTimeStyle Times() const = 0;
    // The archive's type number and the status text of a type.
    virtual uint8_t ArchiveType(const std::wstring& archive) { return 0; }
    virtual std::wstring StatusText(uint8_t type) const = 0;

    // Command lines (without the library); paths as described by each module.
    virtual std::wstring ExtractItemCommand(const std::wstring& archive, const std::wstring& destination,
                                            const std::wstring& itemPath) const = 0;
    virtual std::wstring ExtractCommand(const std::wstring& archive, const std::wstring& destination) const = 0;
    // The whole pack command for the names; may keep a response file alive
    // in response until the call is over. Raises for a module that cannot pack.
    virtual std::wstring PackCommand(const std::wstring& archive, const std::wstring& baseFolder,
                                     const std::vector<std::wstring>& names,
                                     std::unique_ptr<TResponseFile>& response) const = 0;
    // Reads an item: the default extracts it into a scratch folder with
    // ReadItemCommand and reads the file.
    virtual std::string ReadItem(const std::wstring& archive, const std::wstring& itemPath, const std::wstring& name,
                                 uint64_t size);
    virtual std::wstring ReadItemCommand(const std::wstring& archive, const std::wstring& folder,
                                         const std::wstring& itemPath) const
    {
        return {};
    }

    // Runs a command line through the library's entry point; raises the
    // module's exception with the library's message when it fails.
    void RunCommand(const std::wstring& command);

    // Calls of the library by their suffix ("OpenArchive", ...).
    template <class F>
    F Call(const char* suffix)
    {
        return Library.Bind<F>((Prefix + suffix).c_str());
    }
};

// Module start: called from the module's initialization with the module's
// description. When the host speaks the module interface's version, an
// archiver is made and registered with it; otherwise nothing happens.
void RegisterArchiverModule(TArchiverModule* module);

// The archive folder of the bridge, for the module tests.
ComPtr<IFolder> NewArchiveFolder(TArchiverModule& module, const TPath& location);
