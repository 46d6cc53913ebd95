// Opening an archive of 100,000 entries (reading the end record and the
// central directory, decoding the names, building the lookup table), compared
// with libzip's zip_open of the same file; then the cost of one lookup.

#include "SiteArchive.h"

#include "base/Text.h"
#include "archive/ZipReader.h"

#include <algorithm>
#include <cstdlib>

#ifdef __has_include
#if __has_include(<zip.h>)
#include <zip.h>
#define FOLIVANT_HAVE_LIBZIP 1
#endif
#endif

using namespace Folivant;
using namespace Folivant::Archive;
using Folivant::Bench::Now;

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("folivant-bench-open-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / "many.zip";
    std::vector<String> names;
    {
        Bench::TSiteGenerator gen(7);
        TFileStream out(path, TFileMode::fmCreate);
        TZipWriter writer(out);
        static const char* kinds[] = {".html", ".js", ".css", ".png", ".jpg", ".pdf"};
        for (int i = 0; i < count; ++i) {
            const std::string name = "section" + std::to_string(i % 97) + "/chapter" +
                                     std::to_string(i / 97) + "/item" + std::to_string(i) +
                                     kinds[gen.Next() % 6];
            writer.AddBytes(name, "<p>" + std::to_string(i) + "</p>", false);
            names.push_back(Utf8ToString(name));
        }
        writer.Finish();
    }
    std::printf("archive: %d entries, %.1f MB\n", count,
                static_cast<double>(std::filesystem::file_size(path)) / 1e6);

    const int runs = 7;
    double ours = 1e30;
    int opened = 0;
    for (int r = 0; r < runs; ++r) {
        const double t0 = Now();
        {
            // The mapping counts as part of opening, as libzip reads the file itself.
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            const auto size = static_cast<std::size_t>(std::filesystem::file_size(path));
            void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
            ::close(fd);
            TReadOnlyMemoryStream stream(data, static_cast<std::int64_t>(size));
            TZipReader reader;
            reader.SetStream(&stream);
            opened = reader.Count();
            ours = std::min(ours, Now() - t0);
            ::munmap(data, size);
        }
    }
    std::printf("open folivant: %.2f ms (%d entries)\n", ours * 1e3, opened);

#ifdef FOLIVANT_HAVE_LIBZIP
    double theirs = 1e30;
    for (int r = 0; r < runs; ++r) {
        const double t0 = Now();
        int error = 0;
        zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &error);
        const double t = Now() - t0;
        if (za == nullptr) {
            std::printf("libzip can't open the archive (%d)\n", error);
            return 1;
        }
        theirs = std::min(theirs, t);
        zip_discard(za);
    }
    std::printf("open libzip: %.2f ms; folivant / libzip = %.2f (goal <= 0.5)\n", theirs * 1e3,
                ours / theirs);
#else
    std::printf("libzip not found: no comparison\n");
#endif

    {
        Bench::TMappedFile file(path);
        TReadOnlyMemoryStream stream(file.Data(), static_cast<std::int64_t>(file.Size()));
        TZipReader reader;
        reader.SetStream(&stream);
        std::vector<String> upper;
        for (const auto& n : names)
            upper.push_back(UpperCaseUnicode(n));
        long found = 0;
        double best = 1e30;
        for (int r = 0; r < runs; ++r) {
            const double t0 = Now();
            for (const auto& n : names)
                found += reader.FindFile(n) >= 0;
            best = std::min(best, Now() - t0);
        }
        double bestUpper = 1e30;
        for (int r = 0; r < runs; ++r) {
            const double t0 = Now();
            for (const auto& n : upper)
                found += reader.FindFile(n) >= 0;
            bestUpper = std::min(bestUpper, Now() - t0);
        }
        if (found != 2L * runs * count) {
            std::printf("FAILED: %ld of %ld lookups found their entry\n", found, 2L * runs * count);
            return 1;
        }
        std::printf("FindFile: %.1f ns per lookup (stored case), %.1f ns per lookup (upper case)\n",
                    best * 1e9 / count, bestUpper * 1e9 / count);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
