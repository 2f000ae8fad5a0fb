// The XML reader on a whole file image. An accepted image must survive a
// write and a second read unchanged: what the writer forms, the reader takes.
#include <cstdlib>

#include "config/xml_document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cvn::XmlDocument doc(u"Corvane");
  if (doc.Parse(data, size) != 0) return 0;
  doc.BuildIndex();
  const std::string written = doc.ToBytes();
  cvn::XmlDocument again(u"Corvane");
  if (again.Parse(written.data(), written.size()) != 0) std::abort();
  if (again.ToBytes() != written) std::abort();
  return 0;
}
