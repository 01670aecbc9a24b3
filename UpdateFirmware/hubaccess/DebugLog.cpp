// Debug log: severity-filtered records to the log sink.
