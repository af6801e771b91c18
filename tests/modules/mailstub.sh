#!/bin/sh
# Stand-in for the mail command in the order-form tests: records its arguments (one a line) in
# $MAILSTUB_DIR/args and the letter it reads in $MAILSTUB_DIR/letter, then exits with
# $MAILSTUB_STATUS (0 if unset), or kills itself if that is "kill".
printf '%s\n' "$@" >"$MAILSTUB_DIR/args"
cat >"$MAILSTUB_DIR/letter"
if [ "${MAILSTUB_STATUS:-0}" = kill ]; then kill -KILL $$; fi
exit "${MAILSTUB_STATUS:-0}"
