#include "platform/uniform_types/UTType.h"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace uniform_types {
namespace {

const std::unordered_map<std::string, std::string>& extensionTable() {
  static const auto* table = new std::unordered_map<std::string, std::string>{
      // Text and source
      {"txt", "public.plain-text"},
      {"text", "public.plain-text"},
      {"md", "net.daringfireball.markdown"},
      {"markdown", "net.daringfireball.markdown"},
      {"rtf", "public.rtf"},
      {"csv", "public.comma-separated-values-text"},
      {"tsv", "public.tab-separated-values-text"},
      {"html", "public.html"},
      {"htm", "public.html"},
      {"xml", "public.xml"},
      {"json", "public.json"},
      {"yaml", "public.yaml"},
      {"yml", "public.yaml"},
      {"log", "com.apple.log"},
      {"c", "public.c-source"},
      {"h", "public.c-header"},
      {"cc", "public.c-plus-plus-source"},
      {"cpp", "public.c-plus-plus-source"},
      {"hpp", "public.c-plus-plus-header"},
      {"m", "public.objective-c-source"},
      {"swift", "public.swift-source"},
      {"py", "public.python-script"},
      {"sh", "public.shell-script"},
      {"js", "com.netscape.javascript-source"},
      {"css", "public.css"},
      // Images
      {"png", "public.png"},
      {"jpg", "public.jpeg"},
      {"jpeg", "public.jpeg"},
      {"gif", "com.compuserve.gif"},
      {"heic", "public.heic"},
      {"heif", "public.heif"},
      {"tif", "public.tiff"},
      {"tiff", "public.tiff"},
      {"bmp", "com.microsoft.bmp"},
      {"webp", "org.webmproject.webp"},
      {"svg", "public.svg-image"},
      {"ico", "com.microsoft.ico"},
      {"psd", "com.adobe.photoshop-image"},
      {"raw", "public.camera-raw-image"},
      // Audio
      {"mp3", "public.mp3"},
      {"m4a", "com.apple.m4a-audio"},
      {"aac", "public.aac-audio"},
      {"wav", "com.microsoft.waveform-audio"},
      {"aiff", "public.aiff-audio"},
      {"aif", "public.aiff-audio"},
      {"flac", "org.xiph.flac"},
      {"ogg", "org.xiph.ogg-audio"},
      {"opus", "org.xiph.opus"},
      // Video
      {"mp4", "public.mpeg-4"},
      {"m4v", "com.apple.m4v-video"},
      {"mov", "com.apple.quicktime-movie"},
      {"avi", "public.avi"},
      {"mkv", "org.matroska.mkv"},
      {"webm", "org.webmproject.webm"},
      {"mpg", "public.mpeg"},
      {"mpeg", "public.mpeg"},
      // Archives
      {"zip", "public.zip-archive"},
      {"gz", "org.gnu.gnu-zip-archive"},
      {"tgz", "org.gnu.gnu-zip-tar-archive"},
      {"tar", "public.tar-archive"},
      {"bz2", "public.bzip2-archive"},
      {"xz", "org.tukaani.xz-archive"},
      {"7z", "org.7-zip.7-zip-archive"},
      {"rar", "com.rarlab.rar-archive"},
      {"dmg", "com.apple.disk-image-udif"},
      {"iso", "public.iso-image"},
      // Documents
      {"pdf", "com.adobe.pdf"},
      {"doc", "com.microsoft.word.doc"},
      {"docx", "org.openxmlformats.wordprocessingml.document"},
      {"xls", "com.microsoft.excel.xls"},
      {"xlsx", "org.openxmlformats.spreadsheetml.sheet"},
      {"ppt", "com.microsoft.powerpoint.ppt"},
      {"pptx", "org.openxmlformats.presentationml.presentation"},
      {"odt", "org.oasis-open.opendocument.text"},
      {"ods", "org.oasis-open.opendocument.spreadsheet"},
      {"odp", "org.oasis-open.opendocument.presentation"},
      {"pages", "com.apple.iwork.pages.sffpages"},
      {"numbers", "com.apple.iwork.numbers.sffnumbers"},
      {"key", "com.apple.iwork.keynote.sffkey"},
      {"epub", "org.idpf.epub-container"},
  };
  return *table;
}

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return lower;
}

}  // namespace

UTType UTType::folder() { return UTType("public.folder"); }
UTType UTType::data() { return UTType("public.data"); }

bool UTType::conforms(const UTType& supertype) const {
  if (*this == supertype) return true;
  // Everything in the extension table is a file type, and every file type is data.
  if (supertype.identifier_ == "public.data") return identifier_ != "public.folder";
  return false;
}

std::optional<UTType> UTType::fromFilenameExtension(std::string_view extension, const UTType& supertype) {
  if (extension.empty()) return std::nullopt;
  const auto& table = extensionTable();
  auto it = table.find(asciiLower(extension));
  if (it == table.end()) return std::nullopt;
  UTType type(it->second);
  if (!type.conforms(supertype)) return std::nullopt;
  return type;
}

}  // namespace uniform_types
