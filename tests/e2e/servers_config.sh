# The configurations of the end-to-end mail servers; sourced by servers.sh,
# which sets what they use: runtime (where the servers' files go), name,
# auth (Dovecot's auth_mechanisms), smtp_port, pop3_port, mail_uid,
# mail_gid, and the k* constants; with tls=1 also submission_port,
# smtps_port, pop3s_port, other_name_port and expired_port, the
# certificates being in $runtime/tls.
# shellcheck shell=bash disable=SC2154

# Password of a known user. carol's is longer than the 64-byte HMAC block, so
# that CRAM-MD5 must hash the key first.
password_of() {
  case $1 in
    alice) echo 'Alice-Pass1' ;;
    bob) echo 'b0b.Secret' ;;
    carol) echo 'carol-has-a-much-longer-password-than-the-hmac-block-of-sixty-four-bytes' ;;
  esac
}

# Postfix: main.cf, master.cf (chroot off everywhere: the queue lives in the
# work directory) and the map of the known users' Maildirs.
write_postfix_config() {
  local etc=$runtime/postfix/etc
  mkdir -p "$etc"
  cat >"$etc/main.cf" <<EOF
# Postfix for the end-to-end tests: loopback only, mail for $kDomain into
# Maildirs, everything else refused.
compatibility_level = 3.6
queue_directory = $runtime/postfix/queue
data_directory = $runtime/postfix/data
mail_owner = postfix
setgid_group = postdrop
maillog_file_prefixes = $runtime
maillog_file = $runtime/postfix/postfix.log

myhostname = $kSmtpHostname
mydomain = qel.test
myorigin = $kDomain
mydestination =
smtpd_banner = \$myhostname ESMTP \$mail_name
inet_interfaces = $kLoopback${kIpv6Loopback:+, [$kIpv6Loopback]}
inet_protocols = ipv4${kIpv6Loopback:+, ipv6}
mynetworks = 127.0.0.0/8${kIpv6Loopback:+ [$kIpv6Loopback]/128}
alias_maps =
alias_database =
biff = no
readme_directory = no

# Nothing leaves this machine.
relay_domains =
default_transport = error:outbound mail is disabled in the test servers
relay_transport = error:outbound mail is disabled in the test servers
smtpd_relay_restrictions = permit_mynetworks, permit_sasl_authenticated, reject_unauth_destination

virtual_mailbox_domains = $kDomain
virtual_mailbox_base = $runtime/mail
virtual_mailbox_maps = texthash:$etc/vmailbox
virtual_uid_maps = static:$mail_uid
virtual_gid_maps = static:$mail_gid
virtual_mailbox_limit = 0
mailbox_size_limit = 0
message_size_limit = $kMessageSizeLimit

disable_vrfy_command = no
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = dovecot
smtpd_sasl_path = private/auth

# Failed commands and logins answer at once; the tests make many of them.
smtpd_error_sleep_time = 0s
smtpd_soft_error_limit = 100
smtpd_hard_error_limit = 200
in_flow_delay = 0s
EOF
  if [ "$tls" = 1 ]; then
    cat >>"$etc/main.cf" <<EOF

# TLS on the submission and smtps services only (master.cf): the plain
# port offers no STARTTLS.
smtpd_tls_cert_file = $runtime/tls/server.pem
smtpd_tls_key_file = $runtime/tls/server.key
EOF
  fi
  : >"$etc/vmailbox"
  local u
  for u in $kUsers; do
    echo "$u@$kDomain $kDomain/$u/" >>"$etc/vmailbox"
  done
  # chroot is off everywhere: the queue lives in the work directory.
  cat >"$etc/master.cf" <<EOF
$kLoopback:$smtp_port inet n - n - - smtpd
${kIpv6Loopback:+[$kIpv6Loopback]:$smtp_port inet n - n - - smtpd}
pickup     unix  n - n 60   1 pickup
cleanup    unix  n - n -    0 cleanup
qmgr       unix  n - n 300  1 qmgr
rewrite    unix  - - n -    - trivial-rewrite
bounce     unix  - - n -    0 bounce
defer      unix  - - n -    0 bounce
trace      unix  - - n -    0 bounce
verify     unix  - - n -    1 verify
flush      unix  n - n 1000? 0 flush
proxymap   unix  - - n -    - proxymap
proxywrite unix  - - n -    1 proxymap
smtp       unix  - - n -    - smtp
relay      unix  - - n -    - smtp
showq      unix  n - n -    - showq
error      unix  - - n -    - error
retry      unix  - - n -    - error
discard    unix  - - n -    - discard
local      unix  - n n -    - local
virtual    unix  - n n -    - virtual
lmtp       unix  - - n -    - lmtp
anvil      unix  - - n -    1 anvil
scache     unix  - - n -    1 scache
postlog    unix-dgram n - n - 1 postlogd
EOF
  if [ "$tls" = 1 ]; then
    cat >>"$etc/master.cf" <<EOF
tlsmgr     unix  - - n 1000? 1 tlsmgr
$kLoopback:$submission_port inet n - n - - smtpd
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
$kLoopback:$smtps_port inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_tls_security_level=encrypt
$kLoopback:$other_name_port inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_cert_file=$runtime/tls/other.pem
  -o smtpd_tls_key_file=$runtime/tls/other.key
$kLoopback:$expired_port inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_cert_file=$runtime/tls/expired.pem
  -o smtpd_tls_key_file=$runtime/tls/expired.key
EOF
  fi
  chown -R root:root "$etc"
  chmod 755 "$etc"
  chmod 644 "$etc"/*
}

# Dovecot's TLS lines: STLS on the POP3 port and the pop3s port with --tls.
dovecot_ssl() {
  if [ "$tls" = 1 ]; then
    printf 'ssl = yes\nssl_cert = <%s\nssl_key = <%s\n' "$runtime/tls/server.pem" "$runtime/tls/server.key"
  else
    echo 'ssl = no'
  fi
}

# The pop3s listener's settings: off without --tls.
pop3s_listener() {
  if [ "$tls" = 1 ]; then
    printf '    address = %s\n    port = %s\n    ssl = yes\n' "$kLoopback" "$pop3s_port"
  else
    echo '    port = 0'
  fi
}

# Dovecot: POP3 on loopback, the users' passwords, and the auth socket that
# Postfix's SASL uses, inside Postfix's queue.
write_dovecot_config() {
  local dc=$runtime/dovecot
  mkdir -p "$dc/run" "$dc/state"
  cat >"$dc/dovecot.conf" <<EOF
# Dovecot for the end-to-end tests: POP3 on loopback, and the SASL service
# that Postfix authenticates SMTP clients with.
instance_name = qel-e2e-$name
base_dir = $dc/run
state_dir = $dc/state
log_path = $dc/dovecot.log
protocols = pop3
listen = $kLoopback${kIpv6Loopback:+, $kIpv6Loopback}
$(dovecot_ssl)
disable_plaintext_auth = no
auth_mechanisms = $auth
auth_verbose = yes
# Failed logins answer within half a second (the tests make many of them):
# no failure delay, and no anvil penalty, which would otherwise add seconds
# per failure. What is left is Dovecot's twice-a-second sweep of failures.
auth_failure_delay = 0
mail_max_userip_connections = 1000
first_valid_uid = 1
mail_location = maildir:~
pop3_uidl_format = %08Xu%08Xv

passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%n $dc/users
}
# Private mailboxes: any box-NAME login, one shared password.
passdb {
  driver = static
  args = password=$kBoxPassword
  username_filter = $kBoxPrefix*
}
userdb {
  driver = static
  args = uid=$mail_uid gid=$mail_gid home=$runtime/mail/$kDomain/%n
}

service pop3-login {
  inet_listener pop3 {
    address = $kLoopback${kIpv6Loopback:+, $kIpv6Loopback}
    port = $pop3_port
  }
  inet_listener pop3s {
$(pop3s_listener)
  }
}
service auth {
  unix_listener $runtime/postfix/queue/private/auth {
    user = postfix
    group = postfix
    mode = 0660
  }
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service stats {
  unix_listener stats-writer {
    mode = 0666
  }
}
EOF
  : >"$dc/users"
  local u
  for u in $kUsers; do
    echo "$u:{PLAIN}$(password_of "$u")::::::" >>"$dc/users"
  done
  chown root:dovecot "$dc/users"
  chmod 640 "$dc/users"
}

# The known users' Maildirs exist from the start, owned by the mail user
# that Postfix delivers as and that Dovecot's POP3 processes run as.
make_maildirs() {
  local u
  mkdir -p "$runtime/mail/$kDomain"
  chmod 755 "$runtime/mail"
  for u in $kUsers; do
    mkdir -p "$runtime/mail/$kDomain/$u"/{new,cur,tmp}
  done
  chown -R "$mail_uid:$mail_gid" "$runtime/mail/$kDomain"
  chmod -R u=rwX,go=rX "$runtime/mail/$kDomain"
}
