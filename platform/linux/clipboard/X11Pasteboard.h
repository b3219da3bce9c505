#pragma once
// The X11 CLIPBOARD selection as the agent's pasteboard, on an X connection and thread of
// its own (so the terminal agent and the desktop shell use the same one, whatever toolkit
// the shell draws with).
//
// - Change count: grows when another client becomes the selection's owner or the owner goes
//   away (XFixes selection notifications), and when the agent writes.
// - Reading: conversion to UTF8_STRING (STRING as a fallback), with the INCR protocol for
//   large texts; the agent's own text is answered without asking the server.
// - Writing: the agent owns the selection and serves TARGETS, UTF8_STRING, STRING and TEXT
//   (INCR above 64 KiB) until another client takes it, for as long as this object lives, so
//   a text from the phone stays pasteable after the phone's session ended.

#include "platform/Pasteboard.h"

#include <memory>
#include <string>

namespace df {

/// Empty `displayName`: $DISPLAY as the process was given it. Nothing when the display
/// cannot be opened or lacks XFixes.
std::shared_ptr<Pasteboard> createX11Pasteboard(const std::string& displayName = {});

}  // namespace df
