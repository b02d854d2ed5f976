#!/bin/zsh
# The install script of a prepared update, copied into the staging directory and started
# detached by the running client just before it quits. Parameters:
#   1 the installed bundle   2 the staging directory (its ready.app is the new bundle)
#   3 the old copy's process id   4 the build replaced   5 the build installed
#   6 the directory that receives last-update-result.json
# It changes nothing and reports failure: the installation steps are the hand-off's.
emulate -L zsh
setopt no_unset

(( $# == 6 )) || exit 64
exit 1
