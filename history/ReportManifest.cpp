#include "history/ReportManifest.h"

// libqpdf without its old pointer type (std::shared_ptr throughout).
#define POINTERHOLDER_TRANSITION 4

#include <nettle/sha2.h>

#include <exception>
#include <memory>
#include <qpdf/Buffer.hh>
#include <qpdf/Pl_Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFEFStreamObjectHelper.hh>
#include <qpdf/QPDFEmbeddedFileDocumentHelper.hh>
#include <qpdf/QPDFFileSpecObjectHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

namespace history {

namespace {

// Pages' content, hashed as it streams by.
class HashPipeline : public Pipeline {
 public:
  HashPipeline() : Pipeline("pages digest", nullptr) { sha256_init(&sha_); }
  void write(unsigned char const* data, size_t length) override { sha256_update(&sha_, length, data); }
  void finish() override {}
  std::string hex() {
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&sha_, sizeof digest, digest);
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
    }
    return out;
  }

 private:
  sha256_ctx sha_;
};

std::string pagesDigest(QPDF& pdf) {
  HashPipeline hash;
  for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) page.pipeContents(&hash);
  return hash.hex();
}

}  // namespace

bool attachManifest(std::string& pdf, const std::function<std::string(const std::string&)>& manifestOf,
                    std::string& error) {
  try {
    QPDF document;
    document.setSuppressWarnings(true);
    document.processMemoryFile("report", pdf.data(), pdf.size());
    const std::string manifest = manifestOf(pagesDigest(document));
    QPDFEmbeddedFileDocumentHelper files(document);
    QPDFFileSpecObjectHelper spec = QPDFFileSpecObjectHelper::createFileSpec(
        document, kManifestName, QPDFEFStreamObjectHelper::createEFStream(document, manifest));
    spec.setDescription("What this report says and its signatures, for tarnwick-cli verify");
    files.replaceEmbeddedFile(kManifestName, spec);
    QPDFWriter writer(document);
    writer.setOutputMemory();
    writer.write();
    std::unique_ptr<Buffer> buffer(writer.getBuffer());
    pdf.assign(reinterpret_cast<const char*>(buffer->getBuffer()), buffer->getSize());
    return true;
  } catch (const std::exception& e) {
    error = std::string("the manifest could not be attached: ") + e.what();
    return false;
  }
}

bool readManifest(const std::string& pdf, std::string& manifest, std::string& digest, std::string& error) {
  try {
    QPDF document;
    document.setSuppressWarnings(true);
    document.processMemoryFile("report", pdf.data(), pdf.size());
    std::shared_ptr<QPDFFileSpecObjectHelper> spec =
        QPDFEmbeddedFileDocumentHelper(document).getEmbeddedFile(kManifestName);
    if (!spec) {
      error = "the report carries no manifest (it was not made by tarnwick-cli report, or it was removed)";
      return false;
    }
    std::shared_ptr<Buffer> data = spec->getEmbeddedFileStream().getStreamData();
    if (!data || data->getSize() > (size_t{16} << 20)) {
      error = "the report's manifest cannot be read";
      return false;
    }
    manifest.assign(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    digest = pagesDigest(document);
    return true;
  } catch (const std::exception& e) {
    error = std::string("the file cannot be read as a PDF: ") + e.what();
    return false;
  }
}

}  // namespace history
