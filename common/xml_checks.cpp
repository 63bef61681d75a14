#include "common/xml_checks.h"

#include <libxml/hash.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>

namespace {

bool defines_any(const xmlDtd* dtd) {
  if (dtd == nullptr) return false;
  for (void* table : {dtd->entities, dtd->pentities}) {
    if (table != nullptr && xmlHashSize(static_cast<xmlHashTablePtr>(table)) > 0) return true;
  }
  return false;
}

}  // namespace

bool declares_entities(_xmlTextReader* reader) {
  if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_DOCUMENT_TYPE) return false;
  // The node itself, not xmlTextReaderCurrentDoc(): asking for the document
  // would hand its ownership to the caller.
  const xmlNode* node = xmlTextReaderCurrentNode(reader);
  if (node == nullptr || node->type != XML_DTD_NODE) return false;
  const xmlDoc* doc = node->doc;
  return defines_any(reinterpret_cast<const xmlDtd*>(node)) ||
         (doc != nullptr && (defines_any(doc->intSubset) || defines_any(doc->extSubset)));
}
