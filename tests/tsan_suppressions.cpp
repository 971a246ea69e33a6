// Linked into every test program that talks to the audio server.
//
// ThreadSanitizer: libpulse is not instrumented, so the hand-offs its own
// atomics order (its shared ring buffer, its lazily made mutexes) look like races
// inside its calls. Only reports whose racing access is libpulse's are left out.
extern "C" const char* __tsan_default_suppressions() {
  return "race:pa_mutex_lock\n"
         "race:pa_mutex_unlock\n"
         "race_top:recvmsg\n"
         "race:pa_srbchannel_read\n"
         "race:pa_srbchannel_write\n"
         "race:pa_packet_new_data\n";
}
