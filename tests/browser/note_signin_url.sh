#!/bin/sh
# Stands in for the web browser a robot opens for its sign-in: notes the
# address (which carries the sign-in's single-use nonce) where the test,
# playing the operator, reads it.
printf '%s\n' "$1" > "$TESSALINE_SIGNIN_URL_FILE.part" && mv "$TESSALINE_SIGNIN_URL_FILE.part" "$TESSALINE_SIGNIN_URL_FILE"
