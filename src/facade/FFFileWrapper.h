#pragma once
// The recording facade: the player facade plus recording to container files.
#include <string>

#include "facade/FFWrapper.h"

namespace Quillet {
class FFFileEngine;
}

namespace Quillet::FFWrapperCLI {

class FFFileWrapper : public FFWrapper {
public:
    FFFileWrapper();
    explicit FFFileWrapper(const std::string& log);
    explicit FFFileWrapper(Quillet::FFFileEngine* engine);

    void SaveToVideoFile(const std::string& fileName);
    void SplitFile(const std::string& newFile);
    void StopVideoSave();
    bool IsVideoSave(bool& pending);

protected:
    Quillet::FFFileEngine* FileEngine() const;
};

} // namespace Quillet::FFWrapperCLI
