/* kxMUtiVec.cpp - placeholder, filled in by its module's change. */
