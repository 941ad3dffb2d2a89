/* page.h - the browser page template and the two theme blocks, embedded
 * into the executable at build time from the files beside this header. */
#ifndef PLUGIN_MEMORY_PAGE_H
#define PLUGIN_MEMORY_PAGE_H

#include <stddef.h>

/* The page; byte 0x01 stands for the head block, 0x02 for the bridge. */
extern const char page_template[];
extern const size_t page_template_len;
/* Early theme script and palette style sheet, inserted after the title. */
extern const char page_head[];
extern const size_t page_head_len;
/* Theme bridge script, inserted before the closing body tag. */
extern const char page_bridge[];
extern const size_t page_bridge_len;

#endif
