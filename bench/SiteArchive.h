#pragma once

// Builds site-like archives for the archive benchmarks: pages, scripts,
// style sheets, images and other binary files with deterministic pseudo-random
// content whose compressibility resembles the real kinds, written with the
// packer's writer into a temporary file that is mapped for reading.

#include "base/Classes.h"
#include "archive/ZipWriter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace Folivant::Bench {

inline double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class TSiteGenerator {
public:
    explicit TSiteGenerator(std::uint64_t seed) : FRandom(seed) {}

    std::string Text(std::size_t size, const std::vector<std::string>& words) {
        std::string s;
        s.reserve(size + 64);
        while (s.size() < size) {
            s += words[FRandom() % words.size()];
            const unsigned r = FRandom() % 16;
            if (r == 0)
                s += std::to_string(FRandom() % 100000);
            else if (r == 1)
                s += "\n";
            else if (r == 2)
                s += Word();
            s += ' ';
        }
        s.resize(size);
        return s;
    }
    std::string Html(std::size_t size) {
        static const std::vector<std::string> words = {"<div class=\"content\">",
                                                       "</div>",
                                                       "<p>",
                                                       "</p>",
                                                       "<a href=\"page",
                                                       ".html\">",
                                                       "</a>",
                                                       "<span>",
                                                       "</span>",
                                                       "<li>",
                                                       "</li>",
                                                       "the",
                                                       "publication",
                                                       "chapter",
                                                       "reader",
                                                       "and",
                                                       "of",
                                                       "<img src=\"images/figure",
                                                       ".png\" alt=\"",
                                                       "\">",
                                                       "<h2>",
                                                       "</h2>",
                                                       "section",
                                                       "table"};
        return "<!DOCTYPE html>\n<html><head><title>Page</title></head><body>\n" +
               Text(size, words);
    }
    std::string Script(std::size_t size) {
        static const std::vector<std::string> words = {"function",
                                                       "(",
                                                       ")",
                                                       "{",
                                                       "}",
                                                       "var",
                                                       "let",
                                                       "const",
                                                       "return",
                                                       "if",
                                                       "else",
                                                       "=",
                                                       "==",
                                                       "this.",
                                                       "document.getElementById(",
                                                       "window.",
                                                       ";",
                                                       "\n    ",
                                                       "for (let i = 0; i <",
                                                       "i++)",
                                                       "'",
                                                       "\"",
                                                       "null",
                                                       "true",
                                                       "false",
                                                       "length",
                                                       "push(",
                                                       "addEventListener("};
        return Text(size, words);
    }
    std::string Css(std::size_t size) {
        static const std::vector<std::string> words = {
            ".content", "{",       "}",        "margin:",      "padding:",
            "0;",       "px;",     "color: #", "font-family:", "sans-serif;",
            "\n  ",     "border:", "solid",    "display:",     "block;",
            "none;",    "width:",  "%;"};
        return Text(size, words);
    }
    // Already compressed image data: nearly incompressible.
    std::string Image(std::size_t size) {
        std::string s = "\x89PNG\r\n\x1a\n";
        s.reserve(size);
        while (s.size() < size) {
            const std::uint64_t v = FRandom();
            s.append(reinterpret_cast<const char*>(&v), 8);
        }
        s.resize(size);
        return s;
    }
    // Fonts, documents: runs of structure between noisy stretches.
    std::string Binary(std::size_t size) {
        std::string s;
        s.reserve(size);
        while (s.size() < size) {
            const std::size_t run = 64 + FRandom() % 2048;
            if (FRandom() % 2 == 0) {
                for (std::size_t i = 0; i < run; i += 8) {
                    const std::uint64_t v = FRandom();
                    s.append(reinterpret_cast<const char*>(&v), 8);
                }
            } else {
                const char c = static_cast<char>(FRandom() % 8);
                s.append(run, c);
            }
        }
        s.resize(size);
        return s;
    }
    std::size_t Between(std::size_t lo, std::size_t hi) { return lo + FRandom() % (hi - lo + 1); }
    std::uint64_t Next() { return FRandom(); }

private:
    std::string Word() {
        std::string w;
        const unsigned n = 3 + FRandom() % 8;
        for (unsigned i = 0; i < n; ++i)
            w.push_back(static_cast<char>('a' + FRandom() % 26));
        return w;
    }
    std::mt19937_64 FRandom;
};

// Writes a site of about totalBytes into path; returns the number of entries.
inline int WriteSiteArchive(const std::filesystem::path& path, std::uint64_t totalBytes) {
    TSiteGenerator gen(20250101);
    TFileStream out(path, TFileMode::fmCreate);
    Archive::TZipWriter writer(out);
    std::uint64_t total = 0;
    int n = 0;
    writer.AddDirectory("images");
    writer.AddDirectory("scripts");
    writer.AddDirectory("styles");
    writer.AddDirectory("files");
    writer.AddBytes("fv-config", "[Folivant]\nIndexPage=index.html\n");
    while (total < totalBytes) {
        const unsigned kind = n % 10;
        std::string name, data;
        if (kind < 4) {
            name = "page" + std::to_string(n) + ".html";
            data = gen.Html(gen.Between(8 << 10, 120 << 10));
        } else if (kind < 6) {
            name = "scripts/s" + std::to_string(n) + ".js";
            data = gen.Script(gen.Between(10 << 10, 300 << 10));
        } else if (kind < 7) {
            name = "styles/c" + std::to_string(n) + ".css";
            data = gen.Css(gen.Between(4 << 10, 40 << 10));
        } else if (kind < 9) {
            name = "images/figure" + std::to_string(n) + ".png";
            data = gen.Image(gen.Between(16 << 10, 900 << 10));
        } else {
            name = "files/doc" + std::to_string(n) + ".pdf";
            data = gen.Binary(gen.Between(64 << 10, 2 << 20));
        }
        writer.AddBytes(name, data);
        total += data.size();
        ++n;
    }
    writer.Finish();
    return writer.Count();
}

// A read-only mapping of a whole file.
class TMappedFile {
public:
    explicit TMappedFile(const std::filesystem::path& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("can't open " + path.string());
        struct stat st {};
        ::fstat(fd, &st);
        FSize = static_cast<std::size_t>(st.st_size);
        FData = ::mmap(nullptr, FSize, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        ::close(fd);
        if (FData == MAP_FAILED)
            throw std::runtime_error("can't map " + path.string());
    }
    ~TMappedFile() { ::munmap(FData, FSize); }
    TMappedFile(const TMappedFile&) = delete;
    TMappedFile& operator=(const TMappedFile&) = delete;
    const void* Data() const { return FData; }
    std::size_t Size() const { return FSize; }

private:
    void* FData = nullptr;
    std::size_t FSize = 0;
};

} // namespace Folivant::Bench
