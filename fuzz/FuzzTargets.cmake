# The fuzz targets and the libraries each links; shared by fuzz/CMakeLists.txt
# (libFuzzer builds) and tests/hardening (seed replay in the ordinary builds).
set(PELLOX_FUZZ_TARGETS
  fuzz_receive
  fuzz_settings
  fuzz_contact_list
  fuzz_history
  fuzz_incoming_text
  fuzz_message_text
  fuzz_rendezvous
)
set(PELLOX_FUZZ_LIBS_fuzz_receive pellox_protocol)
set(PELLOX_FUZZ_LIBS_fuzz_settings pellox_store)
set(PELLOX_FUZZ_LIBS_fuzz_contact_list pellox_store)
set(PELLOX_FUZZ_LIBS_fuzz_history pellox_store)
set(PELLOX_FUZZ_LIBS_fuzz_incoming_text pellox_net)
set(PELLOX_FUZZ_LIBS_fuzz_message_text pellox_protocol)
set(PELLOX_FUZZ_LIBS_fuzz_rendezvous pellox_net)
