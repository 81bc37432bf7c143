// Authentication towards a parent proxy that answered 407.
#pragma once

struct CONNECTION_T;

// Answers the parent's challenge with the client's or the forward rule's
// credentials and sends the request again: 1 when sent with credentials,
// 0 when no answer could be made. Until the parent schemes are built no
// answer is made.
int proxy_authenticate(CONNECTION_T* connection);
