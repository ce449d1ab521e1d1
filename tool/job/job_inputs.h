// The inputs of a job as the runner reads them: a whole text file or standard input ('-'), with
// a size cap, refusing a directory, a closed standard input and what cannot be read; each
// refusal says what was expected. Calls only the system.
#pragma once

#include <cstddef>
#include <string>

namespace tool {

// `what` names the input in messages ("script", "program"). False with the reason.
bool ReadInputText(const std::string& path, const std::string& what, std::size_t maxBytes,
                   std::string& text, std::string& error);

// "<stdin>" for "-", the path otherwise.
std::string InputName(const std::string& path);
// The file's own name for a title ("job.steplink" of "/tmp/x/job.steplink"; "<stdin>" as is).
std::string DisplayName(const std::string& name);

}  // namespace tool
