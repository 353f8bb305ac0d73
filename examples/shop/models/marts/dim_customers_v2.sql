{{ config(event_time='signed_up_at', tags=['customers'], meta={'velk': {'lookback': 2}}) }}

-- Version 2 adds each customer's first order; an order can arrive up to two
-- days after the customer's row was first built.
select c.customer_id, c.first_name, c.last_name, c.signed_up_at, min(o.ordered_at) as first_ordered_at
from {{ ref('stg_customers') }} c
left join {{ ref('stg_orders') }} o using (customer_id)
group by 1, 2, 3, 4
