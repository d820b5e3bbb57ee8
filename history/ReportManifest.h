// The proof a PDF report carries: a manifest (JSON, made by the caller) attached to the PDF as the file
// "tarnwick-manifest.json", holding among other things the SHA-256 of the pages' contents, so that a
// changed page is found by anyone who reads the report offline. libqpdf reads and writes the PDF.
//
// The pages' digest is SHA-256 over each page's content streams, page after page, as libqpdf hands
// them out decoded (QPDFPageObjectHelper::pipeContents).
#pragma once

#include <functional>
#include <string>

namespace history {

constexpr char kManifestName[] = "tarnwick-manifest.json";
// The largest report the checks read.
constexpr size_t kMaxReportSize = size_t{512} << 20;

// Attaches the manifest that `manifestOf` makes from the pages' digest (hex); `pdf` is replaced by the
// PDF with the attachment.
bool attachManifest(std::string& pdf, const std::function<std::string(const std::string&)>& manifestOf,
                    std::string& error);
// The manifest attached to a PDF and the digest of its pages as they are now. False with a message when
// the PDF cannot be read or carries no manifest.
bool readManifest(const std::string& pdf, std::string& manifest, std::string& pagesDigest,
                  std::string& error);

}  // namespace history
