#pragma once

#include <QByteArray>
#include <QStringList>

// What the settings file holds that shardex does not read: sections and keys
// it does not know, and lines that are neither key=value, a [section], blank
// nor a ';' or '#' comment. One text each, in the order of the file. A key or
// section close to a known one (a typo) is named, with the known one:
//   publisher/shard_cout: not a setting of shardex (did you mean shard_count?); ignored
//   [publsher]: not a section of shardex (did you mean publisher?); its keys are ignored
// anything else only by its line, since it may be a password written in the
// wrong place (a base64 one ends in '=', which makes it a key):
//   line 7: not a setting of shardex; ignored
//   line 9: not a key=value line, a [section] or a comment; ignored
// So is a key or section longer than 64 characters, or one holding "://" or
// '@': a URL pasted as a line of its own is a key up to its first '=', with
// the password in it. Time and memory grow in step with the file's size (a
// line of megabytes costs a few copies of it).
// `content` is the file's bytes (UTF-8), `known_keys` the keys shardex reads,
// as QSettings names them ("receiver/bindings/exchange").
QStringList unknown_settings(const QByteArray& content, const QStringList& known_keys);
