// The per-user registration flag: false at first; once set (by DllInstall
// with the command line "user") it stays set for as long as the module is
// loaded. While it is set, class entries go to the current user's classes
// and the type library is registered with the per-user functions.
#ifndef ORVO_SERVER_PER_USER_REGISTRATION_H_
#define ORVO_SERVER_PER_USER_REGISTRATION_H_

namespace orvo::server {

bool GetPerUserRegistration();
void SetPerUserRegistration();

}  // namespace orvo::server

#endif  // ORVO_SERVER_PER_USER_REGISTRATION_H_
