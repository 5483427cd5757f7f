// Outgoing mail as files: one RFC 5322 text per mail in the outbox folder,
// written whole (temporary file, then rename) so a reader never sees half.
#pragma once

#include <string>

// Writes the mail; false when the folder or file cannot be written. `path`
// receives the file's path.
bool WriteMail(const std::string& outbox_dir, const std::string& to, const std::string& subject,
               const std::string& body, std::string& path,
               const std::string& from = "no-reply@kestrel.invalid");
