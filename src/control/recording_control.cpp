// recording control
