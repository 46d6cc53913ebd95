#pragma once

// A picture in memory, ready to be shown by an image control. Copies share
// the same pixels.

#include "base/Classes.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace Folivant::Platform {

class TPicture {
public:
    // The empty picture.
    TPicture();
    ~TPicture();
    TPicture(const TPicture&);
    TPicture& operator=(const TPicture&);

    // Decodes a PNG image; the empty picture when the bytes are not one.
    static TPicture FromPng(const std::uint8_t* data, std::size_t size);

    bool Empty() const { return FImpl == nullptr; }
    int Width() const;
    int Height() const;

    // The toolkit's side of the picture (platform code only).
    struct TImpl;
    const std::shared_ptr<TImpl>& Native() const { return FImpl; }
    explicit TPicture(std::shared_ptr<TImpl> impl);

private:
    std::shared_ptr<TImpl> FImpl;
};

} // namespace Folivant::Platform
