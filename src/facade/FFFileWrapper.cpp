#include "facade/FFFileWrapper.h"

#include "engine/FFFileEngine.h"
#include "facade/FacadeCalls.h"

namespace Quillet::FFWrapperCLI {

using RecordingEngine = Quillet::FFFileEngine;

FFFileWrapper::FFFileWrapper() : FFFileWrapper(std::string("FF1")) {}

FFFileWrapper::FFFileWrapper(const std::string& log) : FFWrapper(new Quillet::FFFileEngine(log)) {}

FFFileWrapper::FFFileWrapper(Quillet::FFFileEngine* engine) : FFWrapper(engine) {}

std::shared_ptr<Quillet::FFFileEngine> FFFileWrapper::FileEngine() const
{
    return std::static_pointer_cast<Quillet::FFFileEngine>(Engine());
}

void FFFileWrapper::SaveToVideoFile(const std::string& fileName)
{
    WithEngine<RecordingEngine>([&](RecordingEngine& e) { e.SaveToVideoFile(fileName); });
}

void FFFileWrapper::SplitFile(const std::string& newFile)
{
    WithEngine<RecordingEngine>([&](RecordingEngine& e) { e.SplitFile(newFile); });
}

StopResult FFFileWrapper::StopVideoSave()
{
    return Stopping<RecordingEngine>([](RecordingEngine& e) { e.StopVideoSave(); });
}

bool FFFileWrapper::IsVideoSave(bool& pending)
{
    pending = false;
    return WithEngine<RecordingEngine>(false, [&](RecordingEngine& e) { return e.IsVideoSave(&pending); });
}

void FFFileWrapper::SetRecordingSettings(const RecordingSettings& settings)
{
    Quillet::RecordingOptions options;
    static_cast<RecordingSettings&>(options) = settings;
    WithEngine<RecordingEngine>([&](RecordingEngine& e) { e.SetRecordingOptions(options); });
}

} // namespace Quillet::FFWrapperCLI
