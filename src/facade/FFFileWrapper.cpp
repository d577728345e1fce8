#include "facade/FFFileWrapper.h"

#include "engine/FFFileEngine.h"

namespace Quillet::FFWrapperCLI {

FFFileWrapper::FFFileWrapper() : FFFileWrapper(std::string("FF1")) {}

FFFileWrapper::FFFileWrapper(const std::string& log) : FFWrapper(new Quillet::FFFileEngine(log)) {}

FFFileWrapper::FFFileWrapper(Quillet::FFFileEngine* engine) : FFWrapper(engine) {}

Quillet::FFFileEngine* FFFileWrapper::FileEngine() const
{
    return static_cast<Quillet::FFFileEngine*>(Engine());
}

void FFFileWrapper::SaveToVideoFile(const std::string& fileName)
{
    lock guard(_mutex);
    if (auto* e = FileEngine())
        e->SaveToVideoFile(fileName);
}

void FFFileWrapper::SplitFile(const std::string& newFile)
{
    lock guard(_mutex);
    if (auto* e = FileEngine())
        e->SplitFile(newFile);
}

void FFFileWrapper::StopVideoSave()
{
    lock guard(_mutex);
    if (auto* e = FileEngine())
        e->StopVideoSave();
}

bool FFFileWrapper::IsVideoSave(bool& pending)
{
    lock guard(_mutex);
    pending = false;
    auto* e = FileEngine();
    return e ? e->IsVideoSave(&pending) : false;
}

} // namespace Quillet::FFWrapperCLI
