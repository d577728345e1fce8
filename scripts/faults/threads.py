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
