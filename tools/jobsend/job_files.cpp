#include "jobsend/job_files.h"

#include <windows.h>

#include <string>

#include "common/last_error.h"
#include "common/owned.h"

namespace {

constexpr size_t kMaxIniPathUnits = 1023;
constexpr unsigned kMaxJobNumber = 99999;

// "<what><path> (error N)" with the failed call's code, read before anything else runs.
std::wstring failure(const wchar_t* what, const std::wstring& path) {
    const DWORD code = GetLastError();
    return what + path + L" (error " + std::to_wstring(code) + L")";
}

// A GDI object created for one drawing step: selected while it draws, then
// deselected and deleted (members end in reverse order).
class drawing_object {
public:
    drawing_object(HDC dc, HGDIOBJ object) : object_(object), selected_(dc, object) {}

private:
    owned::unique_gdi object_;
    owned::selection selected_;
};

void draw_text(HDC dc, int x, int y, int height, int weight, const std::wstring& text) {
    const drawing_object font(
        dc, CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_SWISS, L"Arial"));
    TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

// An A4 page in 0.1 mm units: a title, the job's number and printer, and a few
// coloured shapes, so that a rendered copy is easy to recognise.
bool draw_test_page(const std::wstring& path, unsigned number, const std::wstring& printer) {
    const RECT frame{0, 0, 21000, 29700};  // 0.01 mm
    const HDC dc = CreateEnhMetaFileW(nullptr, path.c_str(), &frame, L"jobsend\0Test page\0");
    if (!dc) return false;
    SetMapMode(dc, MM_ANISOTROPIC);
    SetWindowExtEx(dc, 2100, 2970, nullptr);
    SetViewportExtEx(dc, MulDiv(210, GetDeviceCaps(dc, HORZRES), GetDeviceCaps(dc, HORZSIZE)),
                     MulDiv(297, GetDeviceCaps(dc, VERTRES), GetDeviceCaps(dc, VERTSIZE)), nullptr);
    SetBkMode(dc, TRANSPARENT);
    {
        const drawing_object pen(dc, CreatePen(PS_SOLID, 8, RGB(0, 0, 0)));
        const owned::selection none(dc, GetStockObject(NULL_BRUSH));  // stock: never deleted
        Rectangle(dc, 100, 100, 2000, 2870);
    }
    draw_text(dc, 200, 200, 120, FW_BOLD, L"Test page");
    draw_text(dc, 200, 380, 60, FW_NORMAL, L"Job " + std::to_wstring(number));
    draw_text(dc, 200, 470, 60, FW_NORMAL, L"Printer: " + printer);
    {
        const drawing_object red(dc, CreateSolidBrush(RGB(220, 30, 30)));
        Rectangle(dc, 200, 700, 900, 1200);
    }
    {
        const drawing_object green(dc, CreateSolidBrush(RGB(30, 170, 60)));
        Ellipse(dc, 1100, 700, 1900, 1200);
    }
    {
        const drawing_object blue(dc, CreateSolidBrush(RGB(40, 70, 220)));
        const POINT triangle[3] = {{200, 2000}, {900, 2000}, {550, 1400}};
        Polygon(dc, triangle, 3);
    }
    const HENHMETAFILE emf = CloseEnhMetaFile(dc);
    if (!emf) return false;
    DeleteEnhMetaFile(emf);
    return true;
}

bool write_bytes(const std::wstring& path, const std::string& bytes) {
    const owned::unique_file file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

bool create_directory(const std::wstring& dir, std::wstring& error) {
    if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        error = failure(L"cannot create the directory ", dir);
        return false;
    }
    return true;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Creates a file that must not exist yet; false with ERROR_FILE_EXISTS when it does.
bool create_new(const std::wstring& path) {
    return owned::unique_file(
               CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr))
        .valid();
}

std::wstring spool_extension(const std::wstring& type) {
    if (type == L"EMF") return L".emf";
    return type == L"RAW" ? L".prn" : L".spl";
}

bool write_spool(const std::wstring& type, const std::wstring& printer, const job_files& job) {
    if (type == L"EMF") return draw_test_page(job.spool, job.number, printer);
    return write_bytes(job.spool, "Test page, job " + std::to_string(job.number) + "\r\n\f");
}

bool write_ini(const std::wstring& type, const job_files& job, std::wstring& error) {
    if (!WritePrivateProfileStringW(L"Spool", L"Type", type.c_str(), job.ini.c_str()) ||
        !WritePrivateProfileStringW(L"Spool", L"File0", job.spool.c_str(), job.ini.c_str())) {
        error = failure(L"cannot write the job ini ", job.ini);
        return false;
    }
    return true;
}

// Claims the first number whose spool file and job ini are both free, writing
// the spool file first and only then creating the job ini, in the order the
// service relies on: a job ini that exists names a complete spool file. Each
// file is created exclusively, so concurrent runs never share a number.
bool write_job(const std::wstring& dir, const std::wstring& type, const std::wstring& printer,
               job_files& job, std::wstring& error) {
    for (unsigned n = 1; n <= kMaxJobNumber; ++n) {
        const std::wstring base = dir + L"\\job" + std::to_wstring(n);
        job.number = n;
        job.ini = base + L".ini";
        job.spool = base + spool_extension(type);
        if (job.ini.size() > kMaxIniPathUnits) {
            error = L"the job ini path is longer than 1023 characters: " + job.ini;
            return false;
        }
        if (exists(job.ini)) continue;
        if (!create_new(job.spool)) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            error = failure(L"cannot create ", job.spool);
            return false;
        }
        if (!write_spool(type, printer, job)) {
            error = failure(L"cannot write the spool file ", job.spool);
            DeleteFileW(job.spool.c_str());
            return false;
        }
        if (create_new(job.ini)) return write_ini(type, job, error);
        {
            const owned::last_error_keeper keep;  // the reason stays, not the removal's
            DeleteFileW(job.spool.c_str());
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            error = failure(L"cannot create ", job.ini);
            return false;
        }
        // Another run took this job ini meanwhile.
    }
    error = L"no free job number in " + dir;
    return false;
}

}  // namespace

bool resolve_job_dir(const std::wstring& dir, std::wstring& full, std::wstring& error) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetFullPathNameW(dir.c_str(), MAX_PATH, path, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        error = failure(L"cannot resolve the directory ", dir);
        return false;
    }
    full = path;
    if (!full.empty() && full.back() == L'\\') full.pop_back();
    // The job ini path travels in the ";"-separated message.
    if (full.find(L';') != std::wstring::npos) {
        error = L"the --make-job directory must not contain ';': " + full;
        return false;
    }
    return true;
}

bool make_job(const std::wstring& dir, const std::wstring& type, const std::wstring& printer,
              job_files& job, std::wstring& error) {
    return create_directory(dir, error) && write_job(dir, type, printer, job, error);
}
