# Faults in the threading model: application code under a library lock, a stop asked on its own
# thread reported as done, a join made while the joiner holds a lock the joined thread needs.
ROW = "Rows/HandlerTable.*/"
FAULTS = [
    dict(name="threads: an event raised inside a call reaches its handler under the call's locks",
         file="src/events/FFMessenger.cpp",
         old="    if (!CallScope::IsOpen()) {",
         new="    if (true) {",
         test=ROW + "Player_EndOfStream_Read_Same:" + ROW + "Recorder_SyncPoint_Read_Same"),
    dict(name="threads: a log line reaches its callback under log4cpp's appender lock",
         file="src/events/LogCapture.cpp",
         old="    ThisThread().lines.push_back(PendingLine{priority, category, text, timeUs});\n}",
         new="""    FFWrapperCLI::LogLine line;
    line.severity = SeverityOf(priority);
    line.category = category;
    line.text = text;
    line.timeUs = timeUs;
    (*_callback)(line);
}""",
         test=ROW + "Player_LogLine_*"),
    dict(name="threads: a stop asked on its own thread says it is done",
         file="src/facade/FacadeCalls.h",
         old="    return Quillet::threadex::SelfStops() != before ? StopResult::AfterHandler : StopResult::Done;",
         new="    return before == before ? StopResult::Done : StopResult::AfterHandler;",
         test=ROW + "Recorder_SyncPoint_StopRecording_Same:" + ROW + "Recorder_SyncPoint_Stop_Same"),
    dict(name="threads: stopping a recording joins its write thread under the engine lock",
         file="src/engine/FFFileEngine.cpp",
         old="""    _fileSink.RequestStop();
    CallScope::AfterLocks([this] {
        _fileSink.StopWriteThread();
        Lock lock(_mutex);
        _fileSink.DisconnectFromSource();
    });""",
         new="""    _fileSink.StopWriteThread();
    _fileSink.DisconnectFromSource();""",
         test="HandlerWhileStopping.*"),
    dict(name="threads: stopping the engine joins the write thread under the engine lock",
         file="src/engine/FFFileEngine.cpp",
         old="""    _fileSink.RequestStop();
    CallScope::AfterLocks([this] { _fileSink.StopWriteThread(); });""",
         new="""    _fileSink.StopWriteThread();""",
         test="HandlerWhileStopping.*"),
]
# Waits, not polls: a worker asleep must be woken by what it waits for, and by a stop.
FAULTS += [
    dict(name="threads: stopping a camera source does not wake its wait for a packet",
         file="src/source/FFRTSPSource.cpp",
         old="    _Client()->WakeWaiter(); // the worker may sleep on the client's queue",
         new="",
         test="Scripts/CameraScripted.*"),
    dict(name="threads: the decoder takes a picture without telling the file source there is room",
         file="src/decode/FFDecode.cpp",
         old="    RoomMade(); // a source held back by the full queue may push again\n\n    switch",
         new="\n    switch",
         test="FileSource*:*Playback*:*Seek*"),
]
# Handles that cannot be mistaken: a handle's number is never given twice.
FAULTS += [
    dict(name="threads: handle numbers come round again",
         file="src/capi/HandleRegistry.h",
         old="    return ++serial;",
         new="    return ++serial % 64 + 1;",
         ctest="CApi.StaleHandles"),
]
