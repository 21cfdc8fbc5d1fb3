# Planted by an end-to-end row where a library loader would find it: if run, it leaves a trace.
printf 'planted library ran\n' >>"$UPDATER_E2E_RECORDS/planted"
