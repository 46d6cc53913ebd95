#include "ZipSupport.h"

namespace Folivant::Testing {

std::string BuildZip(const std::function<void(Archive::TZipWriter&)>& fill,
                     Archive::TZipLayout* layout) {
    TMemoryStream out;
    Archive::TZipWriter writer(out);
    fill(writer);
    writer.Finish();
    if (layout != nullptr)
        *layout = writer.Layout();
    return out.ToString();
}

TOpenedZip::TOpenedZip(std::string bytes, std::string password) : FBytes(std::move(bytes)) {
    FStream = std::make_unique<TReadOnlyMemoryStream>(FBytes.data(),
                                                      static_cast<std::int64_t>(FBytes.size()));
    FReader.Password = std::move(password);
    FReader.SetStream(FStream.get());
}

std::string TOpenedZip::Extract(const String& name) {
    TMemoryStream out;
    FReader.ExtractToStream(name, out);
    return out.ToString();
}

void Poke16(std::string& bytes, std::uint64_t offset, std::uint16_t value) {
    bytes.at(offset) = static_cast<char>(value & 0xFF);
    bytes.at(offset + 1) = static_cast<char>(value >> 8);
}

void Poke32(std::string& bytes, std::uint64_t offset, std::uint32_t value) {
    Poke16(bytes, offset, static_cast<std::uint16_t>(value));
    Poke16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

void Poke64(std::string& bytes, std::uint64_t offset, std::uint64_t value) {
    Poke32(bytes, offset, static_cast<std::uint32_t>(value));
    Poke32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

} // namespace Folivant::Testing
