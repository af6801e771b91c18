#!/bin/sh
# Stand-in for a slow mail command: takes the whole letter, records its pid in $SLOWMAIL_DIR/pid,
# and sends the letter (into $SLOWMAIL_DIR/letter) only 30 seconds later.
cat >"$SLOWMAIL_DIR/taken"
echo $$ >"$SLOWMAIL_DIR/pid.new" && mv "$SLOWMAIL_DIR/pid.new" "$SLOWMAIL_DIR/pid"
sleep 30
mv "$SLOWMAIL_DIR/taken" "$SLOWMAIL_DIR/letter"
