{{ config(event_time='signed_up_at', tags=['customers'], meta={'velk': {}}) }}

-- Version 1 of the customer dimension: the customers as they signed up.
select customer_id, first_name, last_name, signed_up_at
from {{ ref('stg_customers') }}
