/*
 * kxMUtiCmd.cpp - interpreter records and start-up: the module's globals,
 * the constructors of tables and contexts, the small accessors and
 * kxMUtiCmd_Init.  Placeholder until the interpreter lands: the globals the
 * containers' debug gate needs.
 */
#include "kxMUtiCmd.h"

kxMUtiCmd_Defs_t *gpkxMUtiCmd_DefsGlobal;
kxMUtiCmd_Exec_t *gpkxMUtiCmd_ExecGlobal;
const char *gkxMUtiCmd_Prompt = ":) ";
char gkxMUtiCmd_CommentChar = '#';
kxWord_t gkxMUtiCmd_MemSpace;
kxDbg_Unit_t gkxMUtiCmd_DbgUnit;
