#include "base/logging.h"

// QtWarningMsg: debug and info messages of these categories are dropped
// unless a logging rule turns them on.
Q_LOGGING_CATEGORY(lcConvert, "pictavo.convert", QtWarningMsg)
Q_LOGGING_CATEGORY(lcThumbnail, "pictavo.thumbnail", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDecode, "pictavo.decode", QtWarningMsg)
Q_LOGGING_CATEGORY(lcEncode, "pictavo.encode", QtWarningMsg)
Q_LOGGING_CATEGORY(lcMetadata, "pictavo.metadata", QtWarningMsg)
Q_LOGGING_CATEGORY(lcColor, "pictavo.color", QtWarningMsg)
Q_LOGGING_CATEGORY(lcFs, "pictavo.fs", QtWarningMsg)
Q_LOGGING_CATEGORY(lcSources, "pictavo.sources", QtWarningMsg)
Q_LOGGING_CATEGORY(lcUi, "pictavo.ui", QtWarningMsg)
Q_LOGGING_CATEGORY(lcHelper, "pictavo.helper", QtWarningMsg)
