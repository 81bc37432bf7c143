// The interface page "/ldap": the DN and groups the proxy holds for users.
#pragma once

#include "cgimap.h"

struct CONNECTION_T;
class Filebuf;

// Appends the page body to `page`. Arguments: "upn" (user names separated
// by ","), "show" ("yes" lists the DN cache); absent ones read as empty.
void interface_page_ldap(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
