# Faults in the worker threads and the key-picture rule.
FAULTS = [
    dict(name="threads: a join gives up after one warning period",
         file="src/core/FFThread.cpp",
         old="""        for (auto waited = warnPeriod; !state->ended.wait_for(wait, warnPeriod, [&] { return state->returned; });
             waited += warnPeriod)
            LogStream(RootLogger(), LogLevel::Warn)
                << "Thread '" << _name << "' has not ended after " << waited.count() << " ms; still waiting";
        done = state->done;
    }""",
         new="""        if (!state->ended.wait_for(wait, warnPeriod, [&] { return state->returned; })) {
            LogStream(RootLogger(), LogLevel::Warn) << "Thread '" << _name << "' let go";
            wait.unlock();
            std::lock_guard<std::mutex> guard(_lock);
            _joining.reset();
            _joined.notify_all();
            handle->detach();
            return;
        }
        done = state->done;
    }""",
         test="Worker.*:FileSourceStop.*"),
    dict(name="key rule: a corrupt key picture counts",
         file="src/core/KeyPicture.h",
         old="(flags & (AV_PKT_FLAG_CORRUPT | AV_PKT_FLAG_DISCARD)) == 0",
         new="(flags & AV_PKT_FLAG_DISCARD) == 0",
         test="Flags/KeyPicture.*"),
    dict(name="key rule: only a bare key flag counts",
         file="src/core/KeyPicture.h",
         old="return (flags & AV_PKT_FLAG_KEY) != 0 && (flags &",
         new="return flags == AV_PKT_FLAG_KEY && (flags &",
         test="Flags/KeyPicture.*"),
    dict(name="key rule: the wire attribute reads the flag itself",
         file="src/core/FFPacket.cpp",
         old="    if (IsKey())\n        return streamType",
         new="    if (packet->flags & AV_PKT_FLAG_KEY)\n        return streamType",
         test="Flags/KeyPicture.*"),
]
