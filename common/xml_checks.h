// Checks on the XML documents both programs read: the firmware catalog and
// the discovery report.
#pragma once

struct _xmlTextReader;

// True when the reader stands on the document type declaration and that
// declaration defines an entity (general or parameter). Neither document
// ever needs one, and references to a defined entity are expanded when a
// value is asked for: a small document could make megabytes of every value.
// Checked at that node, before the reader hands out any value.
bool declares_entities(_xmlTextReader* reader);
