#pragma once

#include <QLoggingCategory>

// Pictavo's own diagnostics, one category per concern. They are off below
// warnings unless asked for, e.g. QT_LOGGING_RULES="pictavo.*.debug=true".
// The fixed progress lines of the window and the worker ("size convert:",
// "image failed...", "save img finished:") are not among them: they always
// go to the default debug stream. The window's stalls have a category of
// their own, pictavo.stall (StallWatch).
Q_DECLARE_LOGGING_CATEGORY(lcConvert)   // pictavo.convert: batches and jobs
Q_DECLARE_LOGGING_CATEGORY(lcThumbnail) // pictavo.thumbnail: previews and their cache
Q_DECLARE_LOGGING_CATEGORY(lcDecode)    // pictavo.decode: readers and decoders
Q_DECLARE_LOGGING_CATEGORY(lcEncode)    // pictavo.encode: writers
Q_DECLARE_LOGGING_CATEGORY(lcMetadata)  // pictavo.metadata: EXIF, XMP, IPTC
Q_DECLARE_LOGGING_CATEGORY(lcColor)     // pictavo.color: profiles and conversion
Q_DECLARE_LOGGING_CATEGORY(lcFs)        // pictavo.fs: files, folders, atomic writes
Q_DECLARE_LOGGING_CATEGORY(lcSources)   // pictavo.sources: folder scans, format sniffing
Q_DECLARE_LOGGING_CATEGORY(lcUi)        // pictavo.ui: the window and its dialogs
Q_DECLARE_LOGGING_CATEGORY(lcHelper)    // pictavo.helper: what helper processes write to stderr
